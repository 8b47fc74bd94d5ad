#include "PortsDlg.h"

#include "IniEditor.h"
#include "Main.h"
#include "Platform.h"
#include "SessionNames.h"
#include "device/Discovery.h"
#include "device/PortMap.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <set>

namespace {

// udev makes the by-id links a little after the node; one look after the
// burst of events settles sees both, well within a second.
constexpr int SettleMs = 150;

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

int PortNumber(const QString& portName) {
    return portName.startsWith("COM") ? portName.mid(3).toInt() : 0;
}

} // namespace

void TPortItemDelegate::initStyleOption(QStyleOptionViewItem* option,
                                        const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    const QVariant line = index.data(PortTextRole);
    if (line.isValid()) option->text = line.toString();
}

TPortList::TPortList(QObject* parent)
    : QObject(parent), FWatcher(std::make_unique<serial::DeviceWatcher>()) {
    FSettle = new QTimer(this);
    FSettle->setSingleShot(true);
    FSettle->setInterval(SettleMs);
    connect(FSettle, &QTimer::timeout, this, [this] { platform::Guarded([this] { Refresh(); }); });
    if (FWatcher->Fd() >= 0) {
        FNotifier = new QSocketNotifier(FWatcher->Fd(), QSocketNotifier::Read, this);
        connect(FNotifier, &QSocketNotifier::activated, this, [this] {
            platform::Guarded([this] {
                // Not restarted by later events: a steady stream of them must
                // not hold the lines back.
                if (FWatcher->Drain() && !FSettle->isActive()) FSettle->start();
            });
        });
    }
}

TPortList::~TPortList() = default;

void TPortList::AddCombo(QComboBox* combo) {
    FCombos.push_back(combo);
    combo->setItemDelegate(new TPortItemDelegate(combo));
}

QString TPortList::LineFor(const QString& portName, const QString& problem) {
    const std::string target = serial::PortMapEntry(portName.toStdString());
    QString what = problem.isEmpty() ? Q(serial::DescribeTarget(target)) : problem;
    return portName + "  " + Q(target) + " \u2014 " + what;
}

void TPortList::Refresh(const std::map<int, QString>& problems) {
    FProblems = problems;
    std::set<std::string> dirs;
    for (QComboBox* combo : FCombos) {
        int widest = combo->width();
        const QFontMetrics fm(combo->view()->font());
        for (int i = 0; i < combo->count(); ++i) {
            const QString name = combo->itemText(i);
            const auto problem = FProblems.find(PortNumber(name));
            const QString line =
                LineFor(name, problem == FProblems.end() ? QString() : "[Ports] entry not usable");
            combo->setItemData(i, line, PortTextRole);
            combo->setItemData(i, line, Qt::ToolTipRole);
            widest = std::max(widest, fm.horizontalAdvance(line) + 40);
            const std::string target = serial::PortMapEntry(name.toStdString());
            if (!target.empty() && target.front() == '/')
                dirs.insert(target.substr(0, std::max<std::size_t>(target.rfind('/'), 1)));
        }
        combo->view()->setMinimumWidth(widest);
    }
    // Mapped links may live anywhere; their directories are watched as well.
    FWatcher->SetExtraDirectories(dirs);
    emit Refreshed();
}

bool WritePortsSection(TIniEditor& ini, const std::map<int, std::string>& entries) {
    return ini.Update([&] {
        for (const auto& [n, value] : entries) {
            const std::string name = "COM" + std::to_string(n);
            if (value.empty())
                ini.EraseEntry(session::PortsSection, name);
            else
                ini.WriteStr(session::PortsSection, name, value);
        }
    });
}

TPortsDlg::TPortsDlg(TIniEditor* ini, QWidget* parent) : QDialog(parent), FIni(ini) {
    setObjectName("PortsDlg");
    setWindowTitle("Ports");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Serial devices on this system:", this));
    DeviceList = new QTreeWidget(this);
    DeviceList->setObjectName("DeviceList");
    DeviceList->setHeaderLabels({"Device", "What it is"});
    DeviceList->setRootIsDecorated(false);
    DeviceList->setMinimumSize(640, 150);
    layout->addWidget(DeviceList);

    layout->addWidget(new QLabel("Each COM name opens (empty: the usual device):", this));
    auto* grid = new QGridLayout;
    for (int i = 0; i < 8; ++i) {
        auto* name = new QLabel(QString("COM%1").arg(i + 1), this);
        PortEdit[i] = new QComboBox(this);
        PortEdit[i]->setObjectName(QString("PortEdit%1").arg(i + 1));
        PortEdit[i]->setEditable(true);
        PortEdit[i]->setInsertPolicy(QComboBox::NoInsert);
        PortEdit[i]->setMinimumWidth(340);
        PortEdit[i]->lineEdit()->setPlaceholderText(
            "/dev/\u2026, null-modem:1a, rfc2217://host:port");
        auto* use = new QPushButton("use selected", this);
        use->setObjectName(QString("AssignBtn%1").arg(i + 1));
        use->setToolTip("assign the device selected above to this COM name");
        PortDesc[i] = new QLabel(this);
        PortDesc[i]->setObjectName(QString("PortDesc%1").arg(i + 1));
        grid->addWidget(name, i, 0);
        grid->addWidget(PortEdit[i], i, 1);
        grid->addWidget(use, i, 2);
        grid->addWidget(PortDesc[i], i, 3);
        connect(use, &QPushButton::clicked, this,
                [this, i] { platform::Guarded([this, i] { AssignSelected(i); }); });
        connect(PortEdit[i], &QComboBox::currentTextChanged, this,
                [this, i] { platform::Guarded([this, i] { UpdateDescription(i); }); });
    }
    grid->setColumnStretch(3, 1);
    layout->addLayout(grid);
    ErrorLabel = new QLabel(this);
    ErrorLabel->setObjectName("ErrorLabel");
    ErrorLabel->setStyleSheet("color: #b00000");
    ErrorLabel->setWordWrap(true);
    ErrorLabel->hide();
    layout->addWidget(ErrorLabel);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName("Buttons");
    connect(buttons, &QDialogButtonBox::accepted, this, &TPortsDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TPortsDlg::reject);
    layout->addWidget(buttons);
}

void TPortsDlg::Populate() {
    const auto devices = serial::ListSerialDevices();
    DeviceList->clear();
    FBytes.clear();
    for (const auto& d : devices)
        FBytes.emplace(Q(d.Path), d.Path);
    for (int i = 0; i < 8; ++i) {
        FShown[i] = serial::PortMapEntry("COM" + std::to_string(i + 1));
        FBytes[Q(FShown[i])] = FShown[i]; // the map's own entry wins
    }
    for (const auto& d : devices) {
        QString what = Q(d.Description);
        if (d.Node != d.Path) what += " \u2014 " + Q(d.Node);
        auto* item = new QTreeWidgetItem(DeviceList, {Q(d.Path), what});
        item->setData(0, Qt::UserRole, Q(d.Path));
    }
    DeviceList->resizeColumnToContents(0);
    DeviceList->setColumnWidth(0, DeviceList->columnWidth(0) + 24);
    for (int i = 0; i < 8; ++i) {
        QComboBox* edit = PortEdit[i];
        const QSignalBlocker quiet(edit);
        edit->clear();
        for (const auto& d : devices)
            edit->addItem(Q(d.Path));
        if (edit->findText(Q(FShown[i])) < 0) edit->insertItem(0, Q(FShown[i]));
        edit->setCurrentText(Q(FShown[i]));
        UpdateDescription(i);
    }
    ErrorLabel->hide();
}

void TPortsDlg::AssignSelected(int port) {
    const QTreeWidgetItem* item = DeviceList->currentItem();
    if (!item) {
        platform::MessageBeep(0);
        return;
    }
    PortEdit[port]->setCurrentText(item->data(0, Qt::UserRole).toString());
}

std::string TPortsDlg::Target(int port) const {
    const QString text = PortEdit[port]->currentText().trimmed();
    const auto offered = FBytes.find(text);
    return offered != FBytes.end() ? offered->second : text.toStdString();
}

void TPortsDlg::UpdateDescription(int port) {
    const std::string text = Target(port);
    PortDesc[port]->setText(text.empty() ? "the usual device" : Q(serial::DescribeTarget(text)));
}

std::map<int, std::string> TPortsDlg::Changes() const {
    std::map<int, std::string> changes;
    for (int i = 0; i < 8; ++i) {
        const std::string text = Target(i);
        if (text == FShown[i]) continue;
        const std::string stored = text.empty() ? text : serial::StablePath(text);
        if (stored != FShown[i]) changes[i + 1] = stored;
    }
    return changes;
}

void TPortsDlg::accept() {
    const auto changes = Changes();
    for (const auto& [n, value] : changes) {
        if (!value.empty() && !session::IsUsablePortTarget(value)) {
            ErrorLabel->setText(QString("COM%1: \"%2\" is not a device (a path beginning with /, "
                                        "null-modem:1a / 1b, rfc2217://HOST:PORT or "
                                        "tcp://HOST:PORT)")
                                    .arg(n)
                                    .arg(Q(value)));
            ErrorLabel->show();
            platform::MessageBeep(0);
            return;
        }
    }
    if (!changes.empty() && !WritePortsSection(*FIni, changes)) {
        ErrorLabel->setText("The settings file was not changed: " + Q(FIni->LastError()));
        ErrorLabel->show();
        platform::MessageBeep(0);
        return;
    }
    QDialog::accept();
}

void TTermMain::PortsItemClick() {
    PortsDlg->Populate();
    if (PortsDlg->exec() != QDialog::Accepted) return;
    // The running map follows the file at once (relative entries resolved as at start).
    LoadPortMap();
}
