#include "DLGSelect.h"

#include "AppFonts.h"
#include "IniEditor.h"

#include <QListWidget>
#include <QPushButton>

TSelSession::TSelSession(TIniEditor* ini, std::function<QString()> currentSession, QWidget* parent)
    : QDialog(parent), Ini(ini), CurrentSession(std::move(currentSession)) {
    setObjectName("SelSession");
    setWindowTitle("select a Session");
    setFont(AppFonts::SansSerif11());
    setFixedSize(480, 265);
    SessionList = new QListWidget(this);
    SessionList->setObjectName("SessionList");
    SessionList->setGeometry(8, 8, 464, 209);
    // Two columns: items run top to bottom and wrap into the next column.
    SessionList->setFlow(QListView::TopToBottom);
    SessionList->setWrapping(true);
    SessionList->setResizeMode(QListView::Adjust);
    SessionList->setGridSize(QSize(228, 16));
    OKBtn = new QPushButton("OK", this);
    OKBtn->setObjectName("OKBtn");
    OKBtn->setGeometry(152, 228, 75, 25);
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton("cancel", this);
    CancelBtn->setObjectName("CancelBtn");
    CancelBtn->setGeometry(240, 228, 75, 25);
    DelBtn = new QPushButton("delete Item", this);
    DelBtn->setObjectName("DelBtn");
    DelBtn->setGeometry(8, 228, 75, 25);
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(DelBtn, &QPushButton::clicked, this, &TSelSession::DelBtnClick);
    connect(SessionList, &QListWidget::itemClicked, this, &TSelSession::SessionListClick);
    connect(SessionList, &QListWidget::itemSelectionChanged, this, &TSelSession::SessionListClick);
}

void TSelSession::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    FormShow();
}

void TSelSession::FormShow() {
    const QSignalBlocker block(SessionList);
    SessionList->clear();
    std::vector<std::string> names;
    Ini->ReadSection("Sessions", names);
    for (const std::string& n : names)
        SessionList->addItem(QString::fromStdString(n));
    SessionList->setCurrentRow(-1);
    SessionList->clearSelection();
    OKBtn->setEnabled(false);
    DelBtn->setEnabled(false);
}

void TSelSession::SessionListClick() {
    QListWidgetItem* item = SessionList->currentItem();
    if (!item || !item->isSelected()) {
        OKBtn->setEnabled(false);
        DelBtn->setEnabled(false);
        return;
    }
    OKBtn->setEnabled(true);
    SelectedSession = item->text();
    DelBtn->setEnabled(SelectedSession.compare(CurrentSession(), Qt::CaseInsensitive) != 0);
}

void TSelSession::DelBtnClick() {
    OKBtn->setEnabled(false);
    QListWidgetItem* item = SessionList->currentItem();
    if (item && item->isSelected()) {
        SelectedSession = item->text();
        // Never the current session, whatever its letter case.
        if (SelectedSession.compare(CurrentSession(), Qt::CaseInsensitive) != 0) {
            const QSignalBlocker block(SessionList);
            delete SessionList->takeItem(SessionList->row(item));
            const std::string name = SelectedSession.toStdString();
            Ini->EraseEntry("Sessions", name);
            Ini->EraseSection(name);
        }
    }
    {
        const QSignalBlocker block(SessionList);
        SessionList->setCurrentRow(-1);
        SessionList->clearSelection();
    }
    DelBtn->setEnabled(false);
}
