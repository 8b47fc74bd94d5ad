// "New Session": asks for the name under which the current settings are stored.
#pragma once

#include <QDialog>
#include <functional>

class QLineEdit;
class QPushButton;

class TSessNameDlg : public QDialog {
    Q_OBJECT
public:
    explicit TSessNameDlg(QWidget* parent = nullptr);

    QLineEdit* SessEdit = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QString NewSessionName;

    void OKBtnClick();

    // Shows an error message box; replaceable so tests can answer it.
    static std::function<void(QWidget* parent, const QString& text)> ErrorBox;

protected:
    void showEvent(QShowEvent* e) override;
};
