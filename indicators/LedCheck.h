// TLedCheck: a framed control showing a round or square LED and a caption.
// The LED is lit or dark after Checked, can blink while checked or flash once
// for LedFlashTime, and the control can act as a push button, check box or
// radio button (radio groups span the lamps of one parent by GroupIndex).
// Blink and flash run on the process-wide tick service (TickService.h).
#pragma once

#include "Rahmen.h"

#include <QString>

#include <cstdint>

enum TLedShape : std::uint8_t { ledCircle, ledRectangle };
enum TOrientType : std::uint8_t { orTop, orBottom, orLeft, orRight };
enum TCheckMode : std::uint8_t { lcNone, lcButton, lcCheckBox, lcRadioBtn };

class TLedCheck : public TRahmen {
    Q_OBJECT
public:
    explicit TLedCheck(QWidget* parent = nullptr);
    ~TLedCheck() override;

    TCheckMode CheckMode() const { return FCheckMode; }
    void SetCheckMode(TCheckMode v);
    TLedShape LedShape() const { return FLedShape; }
    void SetLedShape(TLedShape v);
    TBevelCut LedBevel() const { return FLedBevel; }
    void SetLedBevel(TBevelCut v);
    TColor LedCol() const { return FLedCol; }
    void SetLedCol(TColor v);
    bool LedBlink() const { return FLedBlink; }
    void SetLedBlink(bool v);
    bool LedFlash() const { return FLedFlash; }
    void SetLedFlash(bool v); // true lights the LED and darkens it after LedFlashTime
    int LedFlashTime() const { return FLedFlashTime; }
    void SetLedFlashTime(int v); // ms, at least 100
    int LedSize() const { return FLedSize; }
    void SetLedSize(int v); // LED radius, 6..30
    QString Caption() const { return FCaption; }
    void SetCaption(const QString& v);
    QString Caption1() const { return FCaption1; } // shown instead while checked
    void SetCaption1(const QString& v);
    TColor CaptionCol() const { return FCaptionCol; }
    void SetCaptionCol(TColor v);
    TColor CaptionCol1() const { return FCaptionCol1; }
    void SetCaptionCol1(TColor v);
    TColor CaptFrmCol() const { return FCaptFrmCol; }
    void SetCaptFrmCol(TColor v);
    bool CaptFrame() const { return FCaptFrame; }
    void SetCaptFrame(bool v); // true clears CaptAutoFrm
    bool CaptAutoFrm() const { return FCaptAutoFrm; }
    void SetCaptAutoFrm(bool v); // true clears CaptFrame
    bool Checked() const { return Down(); }
    void SetChecked(bool v);
    TOrientType CaptPos() const { return FCaptPos; }
    void SetCaptPos(TOrientType v);
    int GroupIndex() const { return FGroupIndex; }
    void SetGroupIndex(int v); // negative becomes 0

    // Geometry of the last paint, and the tick-service timers.
    bool Painted() const { return FPainted; }
    TRect LedRect() const { return FLedRect; }
    int LedX() const { return FLedX; }
    int LedY() const { return FLedY; }
    int LedRadius() const { return FLedRadius; }
    TRect CaptRect() const { return FCaptRect; }
    std::int32_t BlinkTimer() const { return FBlinkTimer; }
    std::int32_t FlashTimer() const { return FFlashTimer; }
    // The smallest width and height the control accepts.
    int MinimumExtent() const;
    // The absolute font height in pixels the caption layout uses.
    int FontHeight() const;

    // Draw the LED / caption for the given state at once (after the first paint).
    void DrawLed(bool on);
    void DrawCaption(bool on);
    // A checked radio lamp in a group turns the other checked members off.
    void NotifyGroup();

protected:
    void Paint(QPainter& p) override;
    void MousePress() override;
    void MouseRelease() override;
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void ButtonPressed(int group, TLedCheck* sender);
    void BlinkTick();
    void FlashTick();
    // Tells the tick service whether this lamp's ticks can change anything.
    void UpdateTickNeeds();
    void PlaceLedAndCaption();
    void DrawLedRing(QPainter& p);

    std::int32_t FBlinkTimer = 0;
    std::int32_t FFlashTimer = 0;
    bool FLedBlink = false;
    TLedShape FLedShape = ledCircle;
    TColor FLedCol = clRed;
    int FLedSize = 8;
    TBevelCut FLedBevel = bvRaised;
    bool FCaptFrame = false;
    bool FCaptAutoFrm = false;
    TColor FCaptionCol = clBlack;
    TColor FCaptFrmCol = clBlack;
    TColor FCaptionCol1 = clBlack;
    QString FCaption;
    QString FCaption1;
    int FGroupIndex = 0;
    TOrientType FCaptPos = orRight;
    TCheckMode FCheckMode = lcNone;
    int FLedFlashTime = 300;
    bool FLedFlash = false;
    bool FPainted = false;
    bool FLedShownLit = false; // the last DrawLed showed the lit colour
    TRect FLedRect;
    int FLedX = 0;
    int FLedY = 0;
    int FLedRadius = 0;
    TRect FCaptRect;
};

// The main window's lamps: a circle LED with the caption above it, no check
// behaviour, font 11 px high, no frame bevels and no border, not checked.
constexpr int LampFontHeight = 11;
TLedCheck* MakeLamp(QWidget* parent, const QString& name, int x, int y, int w, int h,
                    const QString& caption, int ledSize, TBevelCut ledBevel, TColor ledCol);
