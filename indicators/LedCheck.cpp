#include "LedCheck.h"

#include "TickService.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QPointer>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr TColor DisabledLedCol = 0x969696;
constexpr TColor DisabledTextCol = 0x808080;
constexpr TColor DarkMask = 0xFF606060; // a dark LED keeps at most 0x60 per channel

// The pixels a drawing call covers for a rectangle with exclusive right and
// bottom (outline included), as a Qt rectangle for aliased drawing.
QRect Box(const TRect& r) {
    return QRect(r.Left, r.Top, r.Width() - 1, r.Height() - 1);
}

// A three-dimensional frame of the given width: top and left lines in c1,
// bottom and right lines in c2; the rectangle shrinks by the width.
void Frame3D(QPainter& p, TRect& r, const QColor& c1, const QColor& c2, int width) {
    for (int i = 0; i < width && !r.IsEmpty(); ++i) {
        p.fillRect(r.Left, r.Top, r.Width() - 1, 1, c1);
        p.fillRect(r.Left, r.Top, 1, r.Height() - 1, c1);
        p.fillRect(r.Left, r.Bottom - 1, r.Width(), 1, c2);
        p.fillRect(r.Right - 1, r.Top, 1, r.Height(), c2);
        r.Shrink(1);
    }
}

} // namespace

TLedCheck::TLedCheck(QWidget* parent) : TRahmen(parent) {
    resize(113, 17);
    SetBevWidth(0);
    SetBordWidth(0);
    SetBevelIn(bvNone);
    SetBevelOut(bvNone);
    SetColBtnBord(clBtnFace);
    SetBtnPress3D(false);
    // Idle until painted: nothing blinks or flashes before that.
    FBlinkTimer = TickService().AddPhaseTimer([this] { BlinkTick(); }, true);
    FFlashTimer = TickService().AddIntervalTimer([this] { FlashTick(); });
    TickService().SetIdle(FFlashTimer, true);
}

TLedCheck::~TLedCheck() {
    TickService().Remove(FBlinkTimer);
    TickService().Remove(FFlashTimer);
}

void TLedCheck::SetCheckMode(TCheckMode v) {
    if (v == FCheckMode) return;
    FCheckMode = v;
    SetBtnMode(v == lcNone ? 0 : v == lcButton ? 1 : 2);
    if (FPainted) Repaint();
}

void TLedCheck::SetLedShape(TLedShape v) {
    if (v == FLedShape) return;
    FLedShape = v;
    Repaint();
}

void TLedCheck::SetLedBevel(TBevelCut v) {
    if (v == FLedBevel) return;
    FLedBevel = v;
    Repaint();
}

void TLedCheck::SetCaptPos(TOrientType v) {
    if (v == FCaptPos) return;
    FCaptPos = v;
    Repaint();
}

void TLedCheck::SetCaption(const QString& v) {
    if (v == FCaption) return;
    FCaption = v;
    Repaint();
}

void TLedCheck::SetCaption1(const QString& v) {
    if (v == FCaption1) return;
    FCaption1 = v;
    Repaint();
}

void TLedCheck::SetLedSize(int v) {
    v = std::clamp(v, 6, 30);
    if (v == FLedSize) return;
    FLedSize = v;
    Repaint();
}

void TLedCheck::SetCaptFrame(bool v) {
    if (v == FCaptFrame) return;
    FCaptFrame = v;
    if (v) FCaptAutoFrm = false;
    Repaint();
}

void TLedCheck::SetCaptAutoFrm(bool v) {
    if (v == FCaptAutoFrm) return;
    FCaptAutoFrm = v;
    if (v) FCaptFrame = false;
    Repaint();
}

void TLedCheck::SetLedCol(TColor v) {
    if (v == FLedCol) return;
    FLedCol = v;
    DrawLed(Checked());
}

void TLedCheck::SetLedBlink(bool v) {
    if (v == FLedBlink) return;
    FLedBlink = v;
    DrawLed(Checked());
    UpdateTickNeeds();
}

void TLedCheck::SetCaptionCol(TColor v) {
    if (v == FCaptionCol) return;
    FCaptionCol = v;
    DrawCaption(Checked());
}

void TLedCheck::SetCaptionCol1(TColor v) {
    if (v == FCaptionCol1) return;
    FCaptionCol1 = v;
    DrawCaption(Checked());
}

void TLedCheck::SetCaptFrmCol(TColor v) {
    if (v == FCaptFrmCol) return;
    FCaptFrmCol = v;
    DrawCaption(Checked());
}

void TLedCheck::SetChecked(bool v) {
    if (v == Checked()) return;
    SetDownState(v);
    UpdateTickNeeds();
    DrawLed(v);
    DrawCaption(v);
    NotifyGroup();
}

void TLedCheck::SetGroupIndex(int v) {
    FGroupIndex = std::max(v, 0);
}

void TLedCheck::SetLedFlashTime(int v) {
    FLedFlashTime = std::max(v, 100);
}

void TLedCheck::SetLedFlash(bool v) {
    FLedFlash = v;
    if (v) TickService().SetInterval(FFlashTimer, FLedFlashTime);
    DrawLed(v);
    UpdateTickNeeds();
}

int TLedCheck::MinimumExtent() const {
    int m = 2 * FLedSize + 2;
    if (BevelIn() != bvNone) m += 2 * BevWidth();
    if (BevelOut() != bvNone) m += 2 * BevWidth();
    return m;
}

int TLedCheck::FontHeight() const {
    const QFont f = font();
    if (f.pixelSize() > 0) return f.pixelSize();
    const double pt = f.pointSizeF();
    if (!(pt > 0)) return 0;
    return static_cast<int>(std::min(pt * logicalDpiY() / 72.0 + 0.5, 1e6));
}

void TLedCheck::PlaceLedAndCaption() {
    FCaptRect = FInnerRect;
    FCaptRect.Shrink(2);
    // 64-bit, so a huge font cannot overflow the line height.
    long long h = static_cast<long long>(FontHeight()) * 12 / 10 + 1;
    if (FCaptFrame || FCaptAutoFrm) h += 2;
    const auto fit = [h](int room) { return static_cast<int>(std::min<long long>(h, room)); };
    const auto narrow = [this, h] {
        if (h < FCaptRect.Height()) {
            const int half = static_cast<int>(h / 2);
            FCaptRect.Top = FLedY - half;
            FCaptRect.Bottom = FLedY + half;
        }
    };
    switch (FCaptPos) {
    case orTop:
        FLedX = width() / 2;
        FLedY = FInnerRect.Bottom - (FLedRadius + 2);
        FCaptRect.Bottom = FLedY - (FLedSize + 2);
        FCaptRect.Top = FCaptRect.Bottom - fit(FCaptRect.Bottom - FCaptRect.Top);
        break;
    case orBottom:
        FLedX = width() / 2;
        FLedY = FInnerRect.Top + FLedRadius + 2;
        FCaptRect.Top = FLedY + FLedSize + 2;
        FCaptRect.Bottom = FCaptRect.Top + fit(FCaptRect.Bottom - FCaptRect.Top);
        break;
    case orLeft:
        FLedX = FInnerRect.Right - (FLedRadius + 2);
        FLedY = height() / 2;
        FCaptRect.Right = FLedX - (FLedSize + 2);
        narrow();
        break;
    case orRight:
    default:
        FLedX = FInnerRect.Left + FLedRadius + 2;
        FLedY = height() / 2;
        FCaptRect.Left = FLedX + FLedSize + 2;
        narrow();
        break;
    }
    FLedRect = {FLedX - FLedRadius, FLedY - FLedRadius, FLedX + FLedRadius, FLedY + FLedRadius};
}

// The ring around the LED on a background disc or frame; it leaves the body's
// radius (circle) or rectangle (square) for DrawLed.
void TLedCheck::DrawLedRing(QPainter& p) {
    TColor c1, c2;
    switch (FLedBevel) {
    case bvNone:
        c1 = c2 = ColBgnd();
        break;
    case bvRaised:
        c1 = clBtnHighlight;
        c2 = clBtnShadow;
        break;
    default: // lowered; a spaced ring looks lowered too
        c1 = clBtnShadow;
        c2 = clBtnHighlight;
        break;
    }
    const int bw = FLedSize / 9 + 1 + FLedSize / 15;
    const QColor face = Color(clBtnFace);
    p.setPen(QPen(face, 1));
    p.setBrush(face);
    if (FLedShape == ledRectangle) {
        const int t = bw / 3;
        Frame3D(p, FLedRect, face, face, 1);
        Frame3D(p, FLedRect, Color(c1), Color(c2), bw - t);
        if (t > 0) Frame3D(p, FLedRect, face, face, t);
        return;
    }
    p.drawEllipse(Box(FLedRect));
    --FLedRadius;
    // Arcs are stroked about their geometric path, so the path runs through
    // the centres of the outermost pixels the outline would cover.
    const int r = FLedRadius;
    const QRectF ring(FLedX - r + 0.5, FLedY - r + 0.5, 2 * r - 1, 2 * r - 1);
    p.setBrush(Qt::NoBrush);
    // Upper-left half from the upper-right to the lower-left direction, then
    // the lower-right half (Qt angles run counter-clockwise from 3 o'clock).
    p.setPen(QPen(Color(c1), bw, Qt::SolidLine, Qt::FlatCap));
    p.drawArc(ring, 45 * 16, 180 * 16);
    p.setPen(QPen(Color(c2), bw, Qt::SolidLine, Qt::FlatCap));
    p.drawArc(ring, 225 * 16, 180 * 16);
    FLedRadius -= bw;
}

void TLedCheck::Paint(QPainter& p) {
    FLedRadius = FLedSize;
    TRahmen::Paint(p);
    FPainted = true;
    p.setFont(font());
    PlaceLedAndCaption();
    DrawLedRing(p);
    p.setPen(QPen(Qt::black, 1));
    DrawLed(Checked());
    DrawCaption(Checked());
    SyncPressState(Checked());
    Raise(OnRepaint);
}

void TLedCheck::DrawLed(bool on) {
    if (!FPainted) return;
    DrawDirect([this, on](QPainter& p) {
        const TColor c = !isEnabled() ? DisabledLedCol : on ? FLedCol : (FLedCol & DarkMask);
        p.setPen(QPen(Qt::black, 1));
        p.setBrush(Color(c));
        const TRect body = FLedShape == ledRectangle
                               ? FLedRect
                               : TRect{FLedX - FLedRadius, FLedY - FLedRadius, FLedX + FLedRadius,
                                       FLedY + FLedRadius};
        if (body.Width() > 0 && body.Height() > 0) {
            if (FLedShape == ledRectangle)
                p.drawRect(Box(body));
            else
                p.drawEllipse(Box(body));
        }
    });
    FLedShownLit = on && isEnabled();
    UpdateTickNeeds();
    NotifyGroup();
}

void TLedCheck::UpdateTickNeeds() {
    // A blink redraws with the shared flag; a flash expiry only darkens, so
    // it matters only while the LED shows lit.
    TickService().SetIdle(FBlinkTimer, !(FPainted && Checked() && FLedBlink));
    TickService().SetIdle(FFlashTimer, !(FPainted && FLedFlash && FLedShownLit));
}

void TLedCheck::DrawCaption(bool on) {
    if (!FPainted) return;
    DrawDirect([this, on](QPainter& p) {
        const bool alternate = on && !FCaption1.isEmpty();
        const QString& text = alternate ? FCaption1 : FCaption;
        const TColor textCol = !isEnabled() ? DisabledTextCol
                               : alternate  ? FCaptionCol1
                                            : FCaptionCol;
        const bool framed = FCaptFrame || (FCaptAutoFrm && Checked());
        if (FCaptRect.IsEmpty()) return;
        p.setBrush(Color(ColBgnd()));
        p.setPen(QPen(Color(framed ? FCaptFrmCol : ColBgnd()), 1));
        p.drawRect(Box(FCaptRect));
        TRect r = FCaptRect;
        r.Shrink(1);
        if (r.IsEmpty() || text.isEmpty()) return;
        p.setFont(font());
        const QFontMetrics fm = p.fontMetrics();
        const int tw = fm.horizontalAdvance(text);
        int x;
        switch (FCaptPos) {
        case orTop:
        case orBottom:
            x = r.Left - tw / 2 + r.Width() / 2;
            break;
        case orLeft:
            x = r.Right - tw - 1;
            break;
        default:
            x = r.Left + 1;
            break;
        }
        const int y = r.Top - 2; // top of the text cell
        p.setClipRect(QRect(r.Left, r.Top, r.Width(), r.Height()));
        p.setPen(Color(textCol));
        p.drawText(QPoint(x, y + fm.ascent()), text);
    });
}

void TLedCheck::NotifyGroup() {
    if (FCheckMode != lcRadioBtn || !Checked() || FGroupIndex == 0) return;
    QWidget* parent = parentWidget();
    if (!parent) return;
    const QObjectList siblings = parent->children();
    for (QObject* o : siblings)
        if (auto* lamp = qobject_cast<TLedCheck*>(o)) lamp->ButtonPressed(FGroupIndex, this);
}

void TLedCheck::ButtonPressed(int group, TLedCheck* sender) {
    if (FCheckMode == lcRadioBtn && group == FGroupIndex && sender != this && sender->Checked())
        SetChecked(false);
}

void TLedCheck::MousePress() {
    // A checked member of a radio group is not turned off by a press.
    if (FCheckMode == lcRadioBtn && Checked() && FGroupIndex != 0 && parentWidget()) return;
    if (FCheckMode != lcNone) {
        DrawLed(!Checked());
        DrawCaption(!Checked());
    }
    const QPointer<TLedCheck> self(this);
    TRahmen::MousePress();
    if (!self) return;
    UpdateTickNeeds();
    NotifyGroup();
}

void TLedCheck::MouseRelease() {
    const QPointer<TLedCheck> self(this);
    TRahmen::MouseRelease();
    if (!self) return;
    UpdateTickNeeds();
    if (FCheckMode == lcNone) return;
    DrawLed(Checked());
    DrawCaption(Checked());
}

void TLedCheck::BlinkTick() {
    if (FPainted && Checked() && FLedBlink) DrawLed(TickService().BlinkFlag());
}

void TLedCheck::FlashTick() {
    if (FPainted && FLedFlash) DrawLed(false);
}

void TLedCheck::resizeEvent(QResizeEvent* e) {
    TRahmen::resizeEvent(e);
    const int m = MinimumExtent();
    if (width() < m || height() < m) resize(std::max(width(), m), std::max(height(), m));
}

void TLedCheck::changeEvent(QEvent* e) {
    TRahmen::changeEvent(e);
    if (e->type() == QEvent::EnabledChange) {
        DrawLed(Checked());
        DrawCaption(Checked());
    }
}

TLedCheck* MakeLamp(QWidget* parent, const QString& name, int x, int y, int w, int h,
                    const QString& caption, int ledSize, TBevelCut ledBevel, TColor ledCol) {
    auto* lamp = new TLedCheck(parent);
    lamp->setObjectName(name);
    QFont f;
    f.setFamily("Arial");
    f.setPixelSize(LampFontHeight);
    lamp->setFont(f);
    lamp->SetCheckMode(lcNone);
    lamp->SetLedShape(ledCircle);
    lamp->SetBevelIn(bvNone);
    lamp->SetBevelOut(bvNone);
    lamp->SetBordWidth(0);
    lamp->SetCaptPos(orTop);
    lamp->SetCaption(caption);
    lamp->SetLedSize(ledSize);
    lamp->SetLedBevel(ledBevel);
    lamp->SetLedCol(ledCol);
    lamp->SetChecked(false);
    lamp->setGeometry(x, y, w, h);
    return lamp;
}
