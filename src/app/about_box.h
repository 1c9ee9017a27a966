// The About box: icon, product name, version line read from the program file's own version
// record, and the build stamp. OK, Enter, Escape and the close box close it.
#pragma once

#include <QDialog>
#include <QLabel>
#include <string>

#include "platform/version_info.h"

namespace app {

class AboutBox : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kBuildStampId = 1001;
    static constexpr int kVersionId = 1000;

    // `programPath` is the file whose version record is shown (normally the program's own).
    explicit AboutBox(QWidget* owner, const std::string& programPath = platform::programFilePath());

    QString versionText() const;
    QString buildStampText() const;

    // Escape and the close box end the box with 2 (Cancel), OK and Enter with 1.
    void reject() override { done(2); }
};

// "Mmm dd yyyy - hh:mm:ss" of this build.
std::string programBuildStamp();

}  // namespace app
