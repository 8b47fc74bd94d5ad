// Sessions: every stored setting of both channels and the window, read from and
// written to the settings file.
#include "ChannelView.h"
#include "DLGSelect.h"
#include "DlgSess.h"
#include "EmulVT.h"
#include "FSerPort.h"
#include "IniEditor.h"
#include "LedCheck.h"
#include "Main.h"
#include "MemoView.h"
#include "PortsDlg.h"
#include "SessionNames.h"
#include "device/PortMap.h"

#include <QAction>
#include <QComboBox>
#include <QGuiApplication>
#include <QRadioButton>
#include <QScreen>
#include <QToolButton>

namespace {

// How much of a window must lie on some screen to count as reachable.
constexpr int MinVisibleWidth = 100, MinVisibleHeight = 50;

bool Reachable(const QRect& frame) {
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect seen = frame.intersected(screen->availableGeometry());
        if (seen.width() >= MinVisibleWidth && seen.height() >= MinVisibleHeight) return true;
    }
    return false;
}

} // namespace

void TTermMain::LoadSession() {
    TIniEditor& ini = *IniEditor;
    const std::string section = session::StoredName(ini, SessionName.toStdString());
    setWindowTitle("Varnex Dual Terminal [" + SessionName + "]");

    for (int ch = 0; ch < 2; ++ch) {
        TChannelUi& c = Ch[ch];
        // The disconnect steps without the status text and the BRK lamp.
        c.ComPortBtn->setChecked(false);
        DisconnectSteps(ch, false);
        c.View->ClearRx();
        c.View->ClearTx();
    }

    const bool hints = ini.ReadBool("Options", "Hints", true);
    HintsOn = hints;
    showHintsItem->setChecked(hints);
    for (int ch = 0; ch < 2; ++ch) {
        const int size = ini.ReadInt("Options", ch == 0 ? "ANSIfont1" : "ANSIfont2", 12);
        AnsiFontClick(ch, size == 9 ? 9 : 12);
    }

    if (ini.ReadBool(section, "HalfSize", false))
        BtnHalf->click();
    else
        BtnFull->click();
    const int posX = ini.ReadInt(section, "PosX", -1);
    const int posY = ini.ReadInt(section, "PosY", -1);
    if (posX >= 1 && posY >= 1) {
        if (Reachable(QRect(QPoint(posX, posY), frameGeometry().size()))) {
            move(x(), posY);
            move(posX, posY);
        } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            // Stored on a screen that is gone: where the user can see it.
            QRect r = frameGeometry();
            r.moveCenter(screen->availableGeometry().center());
            move(r.topLeft());
        }
    }

    struct ComboEntry {
        const char* name;
        QComboBox* TChannelUi::*combo;
        void (TTermMain::*change)(int);
        int def;
    };
    static const ComboEntry combos[] = {
        {"Port", &TChannelUi::PortCombo, &TTermMain::PortComboChange, 0},
        {"Baud", &TChannelUi::BaudCombo, &TTermMain::BaudComboChange, 6},
        {"Parity", &TChannelUi::ParityCombo, &TTermMain::ParityComboChange, 0},
        {"Data", &TChannelUi::DataBitsCombo, &TTermMain::DataBitsComboChange, 3},
        {"Stop", &TChannelUi::StopBitCombo, &TTermMain::StopBitComboChange, 2},
        {"HSK", &TChannelUi::HskCombo, &TTermMain::HskComboChange, 0},
    };
    for (const ComboEntry& e : combos)
        for (int ch = 0; ch < 2; ++ch) {
            const int index = ini.ReadInt(section, e.name + std::to_string(ch + 1), e.def);
            QComboBox* combo = Ch[ch].*e.combo;
            // An index outside the items leaves the combo without a selection.
            combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
            (this->*e.change)(ch);
        }

    for (int ch = 0; ch < 2; ++ch)
        Ch[ch].RTSbtn->setChecked(ini.ReadBool(section, "RTS" + std::to_string(ch + 1), false));
    for (int ch = 0; ch < 2; ++ch)
        Ch[ch].DTRbtn->setChecked(ini.ReadBool(section, "DTR" + std::to_string(ch + 1), false));

    for (int ch = 0; ch < 2; ++ch)
        SetMode(ch, ini.ReadInt(section, "Mode" + std::to_string(ch + 1), 0) & 0xFF);
    // Newer keys: a session stored before them loads with auto reconnect off.
    for (int ch = 0; ch < 2; ++ch)
        Ch[ch].AutoReconnect->setChecked(
            ini.ReadBool(section, "AutoReconnect" + std::to_string(ch + 1), false));
}

void TTermMain::SaveSession() {
    // Closed before the first paint loaded the session: the controls hold only
    // defaults, which must not replace what is stored.
    if (FirstPaint) return;
    TIniEditor& ini = *IniEditor;
    // One transaction: a program closing at the same moment waits, and neither
    // loses the other's entries.
    const bool saved = ini.Update([&] { WriteSession(ini); });
    if (!saved) ReportSettingsFailure(this, "Settings not saved", ini.LastError());
}

void TTermMain::WriteSession(TIniEditor& ini) {
    const std::string section = session::StoredName(ini, SessionName.toStdString());
    std::vector<std::string> names;
    ini.ReadSection("Sessions", names);
    names.push_back(section);
    // Entries that are no session names (a hand-made "Ports") are left alone.
    for (const std::string& n : names)
        if (session::IsValidName(n)) ini.WriteStr("Sessions", n, " ");

    ini.WriteBool("Options", "Hints", HintsOn);
    ini.WriteInt("Options", "ANSIfont1", Ch[0].ANSIfont9->isChecked() ? 9 : 12);
    ini.WriteInt("Options", "ANSIfont2", Ch[1].ANSIfont9->isChecked() ? 9 : 12);
    if (!session::IsValidName(section)) return;

    auto pair = [&](const char* name, auto value) {
        for (int ch = 0; ch < 2; ++ch)
            ini.WriteInt(section, name + std::to_string(ch + 1), value(Ch[ch]));
    };
    ini.WriteInt(section, "PosX", x());
    ini.WriteInt(section, "PosY", y());
    ini.WriteBool(section, "HalfSize", HalfSize);
    pair("Port", [](TChannelUi& c) { return c.PortCombo->currentIndex(); });
    pair("Baud", [](TChannelUi& c) { return c.BaudCombo->currentIndex(); });
    pair("Parity", [](TChannelUi& c) { return c.ParityCombo->currentIndex(); });
    pair("Data", [](TChannelUi& c) { return c.DataBitsCombo->currentIndex(); });
    pair("Stop", [](TChannelUi& c) { return c.StopBitCombo->currentIndex(); });
    pair("HSK", [](TChannelUi& c) { return c.HskCombo->currentIndex(); });
    for (int ch = 0; ch < 2; ++ch)
        ini.WriteBool(section, "RTS" + std::to_string(ch + 1), Ch[ch].RTSbtn->isChecked());
    for (int ch = 0; ch < 2; ++ch)
        ini.WriteBool(section, "DTR" + std::to_string(ch + 1), Ch[ch].DTRbtn->isChecked());
    pair("Mode", [](TChannelUi& c) { return c.View->Mode(); });
    for (int ch = 0; ch < 2; ++ch)
        ini.WriteBool(section, "AutoReconnect" + std::to_string(ch + 1),
                      Ch[ch].AutoReconnect->isChecked());
}

void TTermMain::LoadPortMap() {
    std::map<int, std::string> problems;
    serial::ResetPortMap(); // entries gone from the file are gone from the map
    for (const auto& [n, target] : session::ReadPortMap(*IniEditor, &problems))
        serial::SetPortMapEntry("COM" + std::to_string(n), target);
    PortEntryProblems.clear();
    for (const auto& [n, text] : problems)
        PortEntryProblems[n] = QString::fromStdString(text);
    PortList->Refresh(PortEntryProblems);
}

bool TTermMain::PortEntryUnusable(int ch) {
    const TChannelUi& c = Ch[ch];
    const auto found = PortEntryProblems.find(c.PortCombo->currentIndex() + 1);
    if (found == PortEntryProblems.end()) return false;
    StatusPanels[c.StatusPanel]->setText(found->second);
    return true;
}

void TTermMain::openSessionItemClick() {
    if (SelSession->exec() != QDialog::Accepted) return;
    // Only names the list may show are sessions (never "Options" or "Ports").
    if (!session::IsValidName(SelSession->SelectedSession.toStdString())) return;
    SessionName = SelSession->SelectedSession;
    LoadSession();
}

void TTermMain::newSession1Click() {
    if (SessNameDlg->exec() == QDialog::Rejected) return;
    SessionName = SessNameDlg->NewSessionName;
    SaveSession();
}
