// "select a Session": picks a stored session, or deletes one that is not current.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

class QListWidget;
class QPushButton;
class TIniEditor;

// A change that did not reach the settings file ("<what>: <file>: <reason>"):
// always a line on standard error, and a box while `window` is shown and
// someone may be there to read it (not at a close a signal asked for).
void ReportSettingsFailure(QWidget* window, const std::string& what, const std::string& why);

class TSelSession : public QDialog {
    Q_OBJECT
public:
    // currentSession tells the name of the session in use, which cannot be deleted.
    TSelSession(TIniEditor* ini, std::function<QString()> currentSession,
                QWidget* parent = nullptr);

    QListWidget* SessionList = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QPushButton* DelBtn = nullptr;
    QString SelectedSession;

    void FormShow();
    void SessionListClick();
    void DelBtnClick();

protected:
    void showEvent(QShowEvent* e) override;

private:
    TIniEditor* Ini;
    std::function<QString()> CurrentSession;
};
