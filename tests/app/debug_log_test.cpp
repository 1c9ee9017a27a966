// The debug log and the view model's lines, with an injected clock and log directory, and the
// Qt list following the model.
#include "app/debug_log.h"
#include "app/log_list_widget.h"
#include "app/shell.h"
#include "app/view_model.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QScrollBar>
#include <string>

#include "qt_env.h"
#include "test_prefix.h"

using app::DebugLog;
using app::LocalTime;
using app::LogListWidget;
using app::ViewModel;
using testing_support::readFile;
using testing_support::TestPrefix;

namespace {

class DebugLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mkdir(prefix.driveC().c_str(), 0755);  // the parent of the log directory
        log.setLogDirSource([this] { return logDir; });
        log.setModeSource([this] { return debugMode; }, [this] { return logMode; });
        log.setClock([this] { return now; });
        // One pixel per character plus one for the "average character width".
        model.setMeasure(
            [](std::string_view text) { return static_cast<std::uint32_t>(text.size() + 1); });
    }

    std::string fileFor(const char* date) const { return logDir + "/" + date + "_child2_7.log"; }
    std::size_t lineCount() const { return model.lines().size(); }

    TestPrefix prefix;
    ViewModel model{7};
    DebugLog log{model};
    std::string logDir = prefix.driveC() + "/kelplogs";
    bool debugMode = true;
    bool logMode = false;
    LocalTime now{2013, 10, 8, 9, 5, 3, 7};
};

TEST_F(DebugLogTest, FileLineHasStampTextAndCrLf) {
    logMode = true;
    log.logLine("%s", "abc");
    EXPECT_EQ(readFile(fileFor("20131008")), "09:05:03.007 - abc\r\n");
    ASSERT_EQ(lineCount(), 1u);
    EXPECT_EQ(model.lines()[0], "abc");
}

TEST_F(DebugLogTest, LinesOnEitherSideOfMidnightGoToTwoFiles) {
    logMode = true;
    now = {2013, 12, 31, 23, 59, 59, 999};
    log.logLine("last of the year");
    now = {2014, 1, 1, 0, 0, 0, 1};
    log.logLine("first of the year");
    EXPECT_EQ(readFile(fileFor("20131231")), "23:59:59.999 - last of the year\r\n");
    EXPECT_EQ(readFile(fileFor("20140101")), "00:00:00.001 - first of the year\r\n");
}

TEST_F(DebugLogTest, DeviceNumberInFileNameHasNoLeadingZeros) {
    ViewModel other(1234);
    DebugLog otherLog(other);
    otherLog.setLogDirSource([this] { return logDir; });
    EXPECT_EQ(otherLog.logFilePath({2020, 2, 29, 12, 0, 0, 0}),
              logDir + "/20200229_child2_1234.log");
}

TEST_F(DebugLogTest, DebugModeOffShowsAndFilesNothing) {
    debugMode = false;
    logMode = true;
    log.logLine("hidden %d", 1);
    EXPECT_EQ(lineCount(), 0u);
    EXPECT_FALSE(model.changed());
    struct stat st {};
    EXPECT_NE(stat(logDir.c_str(), &st), 0) << "not even the directory is made";
}

TEST_F(DebugLogTest, FinishedTextIsTakenAsItIsAndCutAtTheLineLimit) {
    logMode = true;
    log.logText("%s%n%d 100%");
    log.logText(std::string(200000, 'z'));
    log.logText(std::string_view("cut\0here", 8));
    ASSERT_EQ(lineCount(), 3u);
    EXPECT_EQ(model.lines()[0], "%s%n%d 100%");
    EXPECT_EQ(model.lines()[1].size(), DebugLog::kLineBufferBytes - 1);
    EXPECT_EQ(model.lines()[2], std::string_view("cut\0here", 8));
    const std::string file = readFile(fileFor("20131008"));
    EXPECT_EQ(file.substr(0, 28), "09:05:03.007 - %s%n%d 100%\r\n");

    debugMode = false;
    EXPECT_FALSE(log.enabled());
    log.logText("hidden");
    EXPECT_EQ(lineCount(), 3u);
}

TEST_F(DebugLogTest, ProcessWideEntriesAskTheActiveLog) {
    EXPECT_FALSE(app::logging()) << "no log yet";
    app::logText("before any log");
    DebugLog::setActive(&log);
    EXPECT_TRUE(app::logging());
    app::logText("finished");
    app::logLine("formatted %d", 2);
    debugMode = false;
    EXPECT_FALSE(app::logging());
    app::logText("hidden");
    DebugLog::setActive(nullptr);
    ASSERT_EQ(lineCount(), 2u);
    EXPECT_EQ(model.lines()[0], "finished");
    EXPECT_EQ(model.lines()[1], "formatted 2");
}

TEST_F(DebugLogTest, LogModeOffFilesNothing) {
    log.logLine("shown only");
    EXPECT_EQ(lineCount(), 1u);
    EXPECT_EQ(readFile(fileFor("20131008")), "");
}

TEST_F(DebugLogTest, MissingParentOfLogDirectoryLosesOnlyTheFileCopy) {
    logMode = true;
    logDir = prefix.path() + "/no/such/parent/logs";
    for (int i = 0; i < 3; ++i)
        log.logLine("line %d", i);
    EXPECT_EQ(lineCount(), 3u);
    EXPECT_EQ(readFile(fileFor("20131008")), "");
}

TEST_F(DebugLogTest, PipeInPlaceOfTheFileLosesTheLineWithoutBlocking) {
    // Opening a pipe without a reader for writing would wait forever; the line is lost instead.
    logMode = true;
    ASSERT_EQ(mkdir(logDir.c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(fileFor("20131008").c_str(), 0600), 0);
    log.logLine("into a pipe");
    EXPECT_EQ(lineCount(), 1u);
}

TEST_F(DebugLogTest, DirectoryIsCreatedOnceAndNotAgainAfterItVanishes) {
    logMode = true;
    log.logLine("one");
    EXPECT_EQ(readFile(fileFor("20131008")), "09:05:03.007 - one\r\n");
    EXPECT_EQ(log.ensureLogDirectory(), 0);
    std::remove(fileFor("20131008").c_str());
    ASSERT_EQ(rmdir(logDir.c_str()), 0);
    log.logLine("two");
    struct stat st {};
    EXPECT_NE(stat(logDir.c_str(), &st), 0);
    EXPECT_EQ(lineCount(), 2u);
}

TEST_F(DebugLogTest, EightBitTextIsFiledRaw) {
    logMode = true;
    log.logLine("%s", "caf\xE9 \xFF");
    EXPECT_EQ(readFile(fileFor("20131008")), "09:05:03.007 - caf\xE9 \xFF\r\n");
    EXPECT_EQ(model.lines()[0], "caf\xE9 \xFF");
}

TEST_F(DebugLogTest, OverlongLineIsCutAtTheBufferAndFormatTextIsNotInterpreted) {
    logMode = true;
    const std::string huge(200000, 'x');
    log.logLine("%s", huge.c_str());
    log.logLine("%s", "%s%n%d");
    log.logLine("%s", "short after long");
    ASSERT_EQ(lineCount(), 3u);
    EXPECT_EQ(model.lines()[0].size(), DebugLog::kLineBufferBytes - 1);
    EXPECT_EQ(model.lines()[1], "%s%n%d");
    EXPECT_EQ(model.lines()[2], "short after long") << "nothing of the long line is left over";
    const std::string file = readFile(fileFor("20131008"));
    EXPECT_EQ(file.size(), 3 * 17 + DebugLog::kLineBufferBytes - 1 + 6 + 16);
}

TEST_F(DebugLogTest, SixHundredLinesLeaveFiveHundredAndOne) {
    for (int i = 0; i < 600; ++i)
        log.logLine("line %03d", i);
    ASSERT_EQ(lineCount(), 501u);
    EXPECT_EQ(model.lines().front(), "line 099");
    EXPECT_EQ(model.lines().back(), "line 599");
    EXPECT_EQ(model.firstLineSeq(), 99u);
    EXPECT_EQ(model.endLineSeq(), 600u);
}

TEST_F(DebugLogTest, WideLineWidensExtentUntilFiveHundredLaterLinesPushItOut) {
    log.logLine("short");
    EXPECT_EQ(model.horizontalExtent(), 6u);
    log.logLine("%s", std::string(300, 'W').c_str());
    EXPECT_EQ(model.horizontalExtent(), 301u);
    for (int i = 0; i < 499; ++i)
        log.logLine("short");
    EXPECT_EQ(model.horizontalExtent(), 301u) << "499 later lines keep it in the ring";
    log.logLine("short");
    EXPECT_EQ(model.horizontalExtent(), 6u) << "the 500th later line pushes it out";
    EXPECT_EQ(model.widthRingPosition(), 2u);
}

TEST_F(DebugLogTest, EachLineIsMeasuredOnceAndOnlyWhenTheExtentIsAskedFor) {
    int measured = 0;
    model.setMeasure([&](std::string_view text) {
        ++measured;
        return static_cast<std::uint32_t>(text.size());
    });
    for (int i = 0; i < 1200; ++i)
        log.logLine("line %d", i);
    EXPECT_EQ(measured, 0) << "nobody looked";
    EXPECT_EQ(model.horizontalExtent(), 9u);
    EXPECT_EQ(measured, 500) << "only the lines still in the ring";
    log.logLine("%s", "wider line");
    EXPECT_EQ(model.horizontalExtent(), 10u);
    EXPECT_EQ(measured, 501);
    // The ring's entries are those of the newest lines, in ring order.
    EXPECT_EQ(model.widthRing()[(model.widthRingPosition() + 499) % 500], 10u);
}

TEST_F(DebugLogTest, ClearEmptiesLinesAndWidthRingAndStartUpResetKeepsLines) {
    log.logLine("%s", std::string(100, 'W').c_str());
    log.logLine("b");
    model.resetWidthRing();
    EXPECT_EQ(lineCount(), 2u);
    EXPECT_EQ(model.horizontalExtent(), 0u);
    log.logLine("c");
    EXPECT_EQ(model.horizontalExtent(), 2u) << "only lines after the reset count";
    model.clearLines();
    EXPECT_EQ(lineCount(), 0u);
    EXPECT_EQ(model.horizontalExtent(), 0u);
    EXPECT_EQ(model.widthRingPosition(), 0u);
    log.logLine("after");
    EXPECT_EQ(lineCount(), 1u);
    EXPECT_EQ(model.firstLineSeq(), 3u) << "sequence numbers are never reused";
}

TEST_F(DebugLogTest, ChangeListenerHearsTheFirstChangeAfterEachTake) {
    int calls = 0;
    model.setChangeListener([&] { ++calls; });
    log.logLine("a");
    log.logLine("b");
    model.setStatusText("Connected OK");
    EXPECT_EQ(calls, 1);
    const app::ViewChanges changes = model.takeChanges();
    EXPECT_TRUE(changes.lines);
    EXPECT_TRUE(changes.panel);
    EXPECT_FALSE(changes.scrollLeft);
    model.setStatusText("Connected OK");
    EXPECT_EQ(calls, 1) << "the same text again is no change";
    log.logLine("c");
    EXPECT_EQ(calls, 2);
}

TEST_F(DebugLogTest, ProcessWideLogLineGoesToTheActiveLog) {
    app::logLine("nobody listens %d", 1);
    EXPECT_EQ(lineCount(), 0u);
    DebugLog::setActive(&log);
    app::logLine("value %d", 42);
    DebugLog::setActive(nullptr);
    ASSERT_EQ(lineCount(), 1u);
    EXPECT_EQ(model.lines()[0], "value 42");
}

// ---- the Qt list following the model ----

class LogListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        list.resize(400, 300);
        list.show();
        model.setMeasure([this](std::string_view text) { return list.measure(text); });
    }
    void add(const std::string& text) { model.addLine(text); }
    void follow() { list.follow(model, model.takeChanges().scrollLeft); }
    QStringList rows() const {
        QStringList out;
        for (int i = 0; i < list.count(); ++i)
            out << list.item(i)->text();
        return out;
    }

    testing_support::QtGuiAppGuard qt;
    LogListWidget list;
    ViewModel model{7};
};

TEST_F(LogListTest, RowsMatchTheModelAfterAnyNumberOfChangesBetweenRefreshes) {
    for (int batch : {1, 3, 250, 400, 2, 700}) {
        for (int i = 0; i < batch; ++i)
            add("line " + std::to_string(model.endLineSeq()));
        follow();
        QStringList expected;
        for (const std::string& line : model.lines())
            expected << QString::fromStdString(line);
        ASSERT_EQ(rows(), expected) << "after a batch of " << batch;
    }
    EXPECT_EQ(list.count(), 501);
    model.clearLines();
    add("after clear");
    follow();
    EXPECT_EQ(rows(), QStringList{"after clear"});
}

TEST_F(LogListTest, EightBitTextIsShownAsLatin1) {
    add("caf\xE9 \xFF");
    follow();
    EXPECT_EQ(list.item(0)->text(), QString::fromLatin1("caf\xE9 \xFF"));
}

TEST_F(LogListTest, NewestLineIsInViewAndExtentSetsTheScrollRange) {
    for (int i = 0; i < 600; ++i)
        add("line " + std::to_string(i));
    add(std::string(2000, 'W'));
    follow();
    QApplication::processEvents();
    const QRect last = list.visualItemRect(list.item(list.count() - 1));
    EXPECT_TRUE(list.viewport()->rect().intersects(last)) << "the newest line is in view";
    EXPECT_EQ(static_cast<std::uint32_t>(list.horizontalExtent()), model.horizontalExtent());
    EXPECT_GT(list.horizontalExtent(), list.measure(std::string(1999, 'W')));
    EXPECT_EQ(list.horizontalScrollBar()->maximum(),
              list.horizontalExtent() - list.viewport()->width());
}

TEST_F(LogListTest, FullListScrollsBackToTheLeftEdge) {
    for (int i = 0; i < 501; ++i)
        add(std::string(200, 'M'));
    follow();
    QApplication::processEvents();
    list.horizontalScrollBar()->setValue(list.horizontalScrollBar()->maximum() / 2);
    ASSERT_GT(list.horizontalScrollBar()->value(), 0);
    add("one more");
    follow();
    EXPECT_EQ(list.horizontalScrollBar()->value(), 0);
}

}  // namespace
