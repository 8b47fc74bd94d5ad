// What each COM name stands for: the texts of the port lists' drop-downs (kept
// current as devices come and go) and the "Ports" dialog that assigns devices
// to COM names in the settings file's [Ports] section.
#pragma once

#include <QDialog>
#include <QStyledItemDelegate>
#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QSocketNotifier;
class QTimer;
class QTreeWidget;
class TIniEditor;
namespace serial {
class DeviceWatcher;
}

// The drop-down line of a port list item ("COM1  /dev/ttyUSB0 — absent"); the
// item's own text stays "COMn", which the closed list shows and connects by.
inline constexpr int PortTextRole = Qt::UserRole + 20;

// Paints a port list's items by their drop-down line.
class TPortItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

// Keeps the drop-down lines of the port lists current: at a refresh and within
// a moment of a device appearing or going (the watcher's descriptor wakes the
// window thread; nothing runs while nothing changes).
class TPortList : public QObject {
    Q_OBJECT
public:
    explicit TPortList(QObject* parent = nullptr);
    ~TPortList() override;
    void AddCombo(QComboBox* combo);
    // problems: port number to why its [Ports] entry is not used.
    void Refresh(const std::map<int, QString>& problems);
    void Refresh() { Refresh(FProblems); }
    // The drop-down line for a port name and what its device is now.
    static QString LineFor(const QString& portName, const QString& problem = {});

signals:
    void Refreshed();

private:
    std::vector<QComboBox*> FCombos;
    std::map<int, QString> FProblems;
    std::unique_ptr<serial::DeviceWatcher> FWatcher;
    QSocketNotifier* FNotifier = nullptr;
    QTimer* FSettle = nullptr;
};

// Writes [Ports] entries in one locked transaction of the settings file
// (comments and other entries kept); an empty value removes the entry. False
// when the file could not be written (the editor's LastError tells why).
bool WritePortsSection(TIniEditor& ini, const std::map<int, std::string>& entries);

// The "Ports" dialog: every serial device the system has, and COM1..COM8 each
// with the device it opens, any of which the user may change.
class TPortsDlg : public QDialog {
    Q_OBJECT
public:
    TPortsDlg(TIniEditor* ini, QWidget* parent = nullptr);
    // Fills the device list and the COM rows from the system and the port map.
    void Populate();
    // Entries that differ from the port map, as they would be stored.
    std::map<int, std::string> Changes() const;
    void accept() override;

    QTreeWidget* DeviceList = nullptr;
    std::array<QComboBox*, 8> PortEdit{};
    std::array<QLabel*, 8> PortDesc{};
    QLabel* ErrorLabel = nullptr;

private:
    void AssignSelected(int port);
    void UpdateDescription(int port);
    // What a COM row holds as a path: the exact bytes of an entry or device
    // the dialog offered, else the text as typed.
    std::string Target(int port) const;
    TIniEditor* FIni;
    std::array<std::string, 8> FShown; // the map's entries when the dialog was filled
    // Paths whose bytes are no UTF-8 show with replacement characters: the
    // text shown leads back to the bytes, so an untouched entry is kept.
    std::map<QString, std::string> FBytes;
};
