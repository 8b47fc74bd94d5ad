#include "DLGSelect.h"

#include "AppFonts.h"
#include "AppPlatform.h"
#include "IniEditor.h"
#include "Platform.h"
#include "SessionNames.h"

#include <QListWidget>
#include <QPushButton>

#include <cstdio>

void ReportSettingsFailure(QWidget* window, const std::string& what, const std::string& why) {
    const std::string text = what + ": " + why;
    std::fprintf(stderr, "zelmar: %s\n", text.c_str());
    std::fflush(stderr);
    if (window && window->isVisible() && !AppPlatform::ClosingOnSignal())
        platform::ReportError(text);
}

namespace {
// The name's bytes as the file holds them; the item shows them decoded.
constexpr int StoredRole = Qt::UserRole;
} // namespace

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
    for (const std::string& n : names) {
        // "Options", "Ports" and the like are no sessions: never listed, so never
        // opened or deleted from here.
        if (!session::IsValidName(n)) continue;
        auto* item = new QListWidgetItem(QString::fromStdString(session::DisplayName(n)));
        item->setData(StoredRole, QByteArray::fromStdString(n));
        SessionList->addItem(item);
    }
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
        const std::string name = item->data(StoredRole).toByteArray().toStdString();
        if (SelectedSession.compare(CurrentSession(), Qt::CaseInsensitive) != 0 &&
            session::IsValidName(name)) {
            const bool done = Ini->Update([&] {
                Ini->EraseEntry("Sessions", name);
                Ini->EraseSection(name);
            });
            if (done) {
                const QSignalBlocker block(SessionList);
                delete SessionList->takeItem(SessionList->row(item));
            } else {
                ReportSettingsFailure(this, "Session not deleted", Ini->LastError());
            }
        }
    }
    {
        const QSignalBlocker block(SessionList);
        SessionList->setCurrentRow(-1);
        SessionList->clearSelection();
    }
    DelBtn->setEnabled(false);
}
