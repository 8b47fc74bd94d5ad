#include "InfoDlg.h"

#include "AppFonts.h"
#include "SettingsPath.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStyle>

namespace {
// A panel with a lowered outer and a raised inner bevel, one pixel each: the
// outer ring is shadowed above and left, the inner one lit there.
class TBevelPanel : public QFrame {
public:
    using QFrame::QFrame;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QPalette& pal = palette();
        const QColor light = pal.color(QPalette::Light);
        const QColor dark = pal.color(QPalette::Dark);
        const auto ring = [&p](QRect r, const QColor& topLeft, const QColor& bottomRight) {
            p.setPen(topLeft);
            p.drawLine(r.topLeft(), r.topRight());
            p.drawLine(r.topLeft(), r.bottomLeft());
            p.setPen(bottomRight);
            p.drawLine(r.bottomLeft(), r.bottomRight());
            p.drawLine(r.topRight(), r.bottomRight());
        };
        ring(rect(), dark, light);
        ring(rect().adjusted(1, 1, -1, -1), light, dark);
    }
};

QLabel* Text(QWidget* parent, const char* name, const QString& text, int x, int y, int px = 0) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    if (px) {
        QFont f = l->font();
        f.setPixelSize(px);
        l->setFont(f);
    }
    l->move(x, y);
    l->adjustSize();
    return l;
}
} // namespace

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
    setObjectName("AboutBox");
    setWindowTitle("Varnex Zelmar Info");
    setFont(AppFonts::SansSerif11());
    setFixedSize(298, 254);
    auto* panel = new TBevelPanel(this);
    panel->setObjectName("Panel1");
    panel->setContentsMargins(2, 2, 2, 2);
    panel->setGeometry(8, 8, 281, 203);
    auto* icon = new QLabel(panel);
    icon->setObjectName("ProgramIcon");
    icon->setGeometry(8, 8, 65, 57);
    icon->setScaledContents(true);
    icon->setPixmap(QApplication::windowIcon().isNull()
                        ? style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(32, 32)
                        : QApplication::windowIcon().pixmap(32, 32));
    ProductName = Text(panel, "ProductName", "Varnex Zelmar", 88, 16, 13);
    Version = Text(panel, "Version", "Version 1.0", 88, 40, 13);
    Text(panel, "Copyright", "Two serial channels side by side.", 8, 80);
    // The file in use on a line of its own, shortened in the middle if long.
    const QString settings = QString::fromStdString(settingspath::InUse());
    Comments = new QLabel(panel);
    Comments->setText("Settings and sessions are kept in\n" +
                      Comments->fontMetrics().elidedText(settings, Qt::ElideMiddle, 259));
    Comments->setToolTip(settings);
    Comments->setObjectName("Comments");
    Comments->setGeometry(8, 104, 265, 33);
    Comments->setAlignment(Qt::AlignCenter);
    Comments->setWordWrap(true);
    Text(panel, "Label1", "Varnex", 8, 148);
    Text(panel, "Label2", "Varnex Dual Terminal for the Linux desktop", 8, 164);
    Text(panel, "Label3", "Bench tools for serial links", 8, 180);
    OKButton = new QPushButton("OK", this);
    OKButton->setObjectName("OKButton");
    OKButton->setGeometry(111, 222, 75, 25);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
}
