#include "app/about_box.h"

#include <QFontMetrics>
#include <QPushButton>

#include "app/icons.h"
#include "app/version_record.h"

namespace app {

std::string programBuildStamp() {
    return buildStamp(__DATE__, __TIME__);
}

AboutBox::AboutBox(QWidget* owner, const std::string& programPath) : QDialog(owner) {
    setObjectName("aboutBox");
    setWindowTitle("About");
    setModal(true);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    QFont dialogFont("System");
    dialogFont.setPointSize(8);
    setFont(dialogFont);

    const QFontMetrics fm(font());
    const int cx = std::max(1, fm.averageCharWidth());
    const int cy = std::max(1, fm.height());
    auto du = [&](int x, int y, int w, int h) {
        return QRect(x * cx / 4, y * cy / 8, w * cx / 4, h * cy / 8);
    };
    setFixedSize(du(0, 0, 244, 70).size());

    auto* icon = new QLabel(this);
    icon->setObjectName("2");
    icon->setPixmap(iconPixmap(1));
    icon->setGeometry(du(14, 9, 20, 20));

    auto* name = new QLabel(QStringLiteral("KELP Driver for Camlet32"), this);
    name->setObjectName("productName");
    name->setTextFormat(Qt::PlainText);
    name->setGeometry(du(50, 9, 185, 8));

    auto* stamp = new QLabel(this);
    stamp->setObjectName(QString::number(kBuildStampId));
    stamp->setTextFormat(Qt::PlainText);
    stamp->setGeometry(du(50, 42, 187, 8));

    auto* version = new QLabel(this);
    version->setObjectName(QString::number(kVersionId));
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(du(50, 53, 187, 8));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName("1");
    ok->setDefault(true);
    ok->setAutoDefault(true);
    ok->setGeometry(du(6, 53, 30, 11));
    connect(ok, &QPushButton::clicked, this, [this] { done(1); });

    // A program file without a version record leaves the version line empty.
    const std::string record = readVersionRecord(programPath);
    version->setText(QString::fromLatin1(versionLineFromRecord(record).c_str()));
    stamp->setText(QString::fromLatin1(programBuildStamp().c_str()));
    ok->setFocus();
}

QString AboutBox::versionText() const {
    auto* label = findChild<QLabel*>(QString::number(kVersionId));
    return label ? label->text() : QString();
}

QString AboutBox::buildStampText() const {
    auto* label = findChild<QLabel*>(QString::number(kBuildStampId));
    return label ? label->text() : QString();
}

}  // namespace app
