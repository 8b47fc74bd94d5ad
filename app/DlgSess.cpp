#include "DlgSess.h"

#include "AppFonts.h"
#include "SessionNames.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

std::function<void(QWidget*, const QString&)> TSessNameDlg::ErrorBox = [](QWidget* parent,
                                                                          const QString& text) {
    QMessageBox::critical(parent, "Error", text, QMessageBox::Ok);
};

TSessNameDlg::TSessNameDlg(QWidget* parent) : QDialog(parent) {
    setObjectName("SessNameDlg");
    setWindowTitle("New Session");
    setFont(AppFonts::SansSerif11());
    setFixedSize(313, 144);
    auto* bevel = new QFrame(this);
    bevel->setObjectName("Bevel1");
    bevel->setFrameStyle(QFrame::Box | QFrame::Sunken);
    bevel->setGeometry(8, 8, 297, 89);
    auto* label = new QLabel("Enter new Session name", bevel);
    label->setObjectName("Label1");
    label->move(16, 16);
    label->adjustSize(); // room for the whole text in whatever font stands in
    SessEdit = new QLineEdit(bevel);
    SessEdit->setObjectName("SessEdit");
    SessEdit->setGeometry(16, 40, 265, 21);
    OKBtn = new QPushButton("OK", this);
    OKBtn->setObjectName("OKBtn");
    OKBtn->setGeometry(79, 108, 75, 25);
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton("Cancel", this);
    CancelBtn->setObjectName("CancelBtn");
    CancelBtn->setGeometry(159, 108, 75, 25);
    connect(OKBtn, &QPushButton::clicked, this, &TSessNameDlg::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

void TSessNameDlg::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    SessEdit->setFocus(); // the text typed last time stays
}

void TSessNameDlg::OKBtnClick() {
    const QString text = SessEdit->text();
    if (text.size() < 3) {
        ErrorBox(this, "name too short");
        return;
    }
    // A name the settings file cannot hold as a section of its own is refused.
    const std::string why = session::NameProblem(text.toStdString());
    if (!why.empty()) {
        ErrorBox(this, QString::fromStdString(why));
        return;
    }
    NewSessionName = text;
    accept();
}
