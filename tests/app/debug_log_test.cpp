// The debug list box and the daily log files, with an injected clock and log directory.
#include "app/debug_log.h"
#include "app/shell.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QScrollBar>
#include <string>

#include "qt_env.h"
#include "test_prefix.h"

using app::DebugLog;
using app::LocalTime;
using app::LogListWidget;
using testing_support::readFile;
using testing_support::TestPrefix;

namespace {

class DebugLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mkdir(prefix.driveC().c_str(), 0755);  // the parent of the log directory
        list.resize(400, 300);
        list.show();
        log.setDeviceNumber(7);
        log.setLogDirSource([this] { return logDir; });
        log.setModeSource([this] { return debugMode; }, [this] { return logMode; });
        log.setClock([this] { return now; });
    }

    std::string fileFor(const char* date) const { return logDir + "/" + date + "_child2_7.log"; }

    testing_support::QtGuiAppGuard qt;
    TestPrefix prefix;
    LogListWidget list;
    DebugLog log{&list};
    std::string logDir = prefix.driveC() + "/kelplogs";
    bool debugMode = true;
    bool logMode = false;
    LocalTime now{2013, 10, 8, 9, 5, 3, 7};
};

TEST_F(DebugLogTest, FileLineHasStampTextAndCrLf) {
    logMode = true;
    log.logLine("%s", "abc");
    EXPECT_EQ(readFile(fileFor("20131008")), "09:05:03.007 - abc\r\n");
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(list.item(0)->text(), "abc");
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
    log.setDeviceNumber(1234);
    now = {2020, 2, 29, 12, 0, 0, 0};
    EXPECT_EQ(log.logFilePath(now), logDir + "/20200229_child2_1234.log");
}

TEST_F(DebugLogTest, DebugModeOffShowsAndFilesNothing) {
    debugMode = false;
    logMode = true;
    log.logLine("hidden %d", 1);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(log.widthRing()[0], 0u);
    struct stat st {};
    EXPECT_NE(stat(logDir.c_str(), &st), 0) << "not even the directory is made";
}

TEST_F(DebugLogTest, LogModeOffFilesNothing) {
    log.logLine("shown only");
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(readFile(fileFor("20131008")), "");
}

TEST_F(DebugLogTest, MissingParentOfLogDirectoryLosesOnlyTheFileCopy) {
    logMode = true;
    logDir = prefix.path() + "/no/such/parent/logs";
    for (int i = 0; i < 3; ++i)
        log.logLine("line %d", i);
    EXPECT_EQ(list.count(), 3);
    EXPECT_EQ(readFile(fileFor("20131008")), "");
}

TEST_F(DebugLogTest, PipeInPlaceOfTheFileLosesTheLineWithoutBlocking) {
    // Opening a pipe without a reader for writing would wait forever; the line is lost instead.
    logMode = true;
    ASSERT_EQ(mkdir(logDir.c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(fileFor("20131008").c_str(), 0600), 0);
    log.logLine("into a pipe");
    EXPECT_EQ(list.count(), 1);
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
    EXPECT_EQ(list.count(), 2);
}

TEST_F(DebugLogTest, EightBitTextIsFiledRawAndShownAsLatin1) {
    logMode = true;
    log.logLine("%s", "caf\xE9 \xFF");
    EXPECT_EQ(readFile(fileFor("20131008")), "09:05:03.007 - caf\xE9 \xFF\r\n");
    EXPECT_EQ(list.item(0)->text(), QString::fromLatin1("caf\xE9 \xFF"));
}

TEST_F(DebugLogTest, OverlongLineIsCutAtTheBufferAndFormatTextIsNotInterpreted) {
    logMode = true;
    const std::string huge(200000, 'x');
    log.logLine("%s", huge.c_str());
    log.logLine("%s", "%s%n%d");
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.item(0)->text().size(), static_cast<int>(DebugLog::kLineBufferBytes - 1));
    EXPECT_EQ(list.item(1)->text(), "%s%n%d");
}

TEST_F(DebugLogTest, SixHundredLinesLeaveFiveHundredAndOneNewestInView) {
    for (int i = 0; i < 600; ++i)
        log.logLine("line %03d", i);
    ASSERT_EQ(list.count(), 501);
    EXPECT_EQ(list.item(0)->text(), "line 099");
    EXPECT_EQ(list.item(500)->text(), "line 599");
    QApplication::processEvents();
    const QRect last = list.visualItemRect(list.item(500));
    EXPECT_TRUE(list.viewport()->rect().intersects(last)) << "the newest line is in view";
}

TEST_F(DebugLogTest, WideLineWidensExtentUntilFiveHundredLaterLinesPushItOut) {
    log.logLine("short");
    const int narrow = list.horizontalExtent();
    EXPECT_GT(narrow, 0);
    log.logLine("%s", std::string(300, 'W').c_str());
    const int wide = list.horizontalExtent();
    EXPECT_GT(wide, narrow * 10);
    for (int i = 0; i < 499; ++i)
        log.logLine("short");
    EXPECT_EQ(list.horizontalExtent(), wide) << "499 later lines keep it in the ring";
    log.logLine("short");
    EXPECT_EQ(list.horizontalExtent(), narrow) << "the 500th later line pushes it out";
    EXPECT_EQ(log.widthRingPosition(), 2u);
}

TEST_F(DebugLogTest, ExtentSetsTheHorizontalScrollRange) {
    log.logLine("%s", std::string(2000, 'W').c_str());
    QApplication::processEvents();
    const int page = list.viewport()->width();
    EXPECT_EQ(list.horizontalScrollBar()->maximum(), list.horizontalExtent() - page);
}

TEST_F(DebugLogTest, FullListScrollsBackToTheLeftEdge) {
    for (int i = 0; i < 501; ++i)
        log.logLine("%s", std::string(200, 'M').c_str());
    QApplication::processEvents();
    list.horizontalScrollBar()->setValue(list.horizontalScrollBar()->maximum() / 2);
    ASSERT_GT(list.horizontalScrollBar()->value(), 0);
    log.logLine("one more");
    EXPECT_EQ(list.horizontalScrollBar()->value(), 0);
}

TEST_F(DebugLogTest, ClearEmptiesListAndWidthRing) {
    log.logLine("%s", std::string(100, 'W').c_str());
    log.logLine("b");
    log.clear();
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.horizontalExtent(), 0);
    EXPECT_EQ(log.widthRingPosition(), 0u);
    for (auto w : log.widthRing())
        EXPECT_EQ(w, 0u);
    log.logLine("after");
    EXPECT_EQ(list.count(), 1);
}

TEST_F(DebugLogTest, ProcessWideLogLineGoesToTheActiveLog) {
    app::logLine("nobody listens %d", 1);
    EXPECT_EQ(list.count(), 0);
    DebugLog::setActive(&log);
    app::logLine("value %d", 42);
    DebugLog::setActive(nullptr);
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list.item(0)->text(), "value 42");
}

}  // namespace
