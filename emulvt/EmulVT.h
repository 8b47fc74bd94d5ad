// Terminal view: a custom-painted widget that owns a screen buffer, turns its
// changes into repaint requests and paints its cells as code page 437 glyphs.
#pragma once

#include <QColor>
#include <QElapsedTimer>
#include <QFont>
#include <QImage>
#include <QMenu>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Screen.h"

class QScrollBar;
class QTimer;

enum TBackColors : std::uint8_t {
    vtsBlack,
    vtsRed,
    vtsGreen,
    vtsYellow,
    vtsBlue,
    vtsMagenta,
    vtsCyan,
    vtsWhite
};

enum TScreenOption : std::uint8_t { vtoBackColor, vtoCopyBackOnClear };
using TScreenOptions = std::uint8_t; // bit (1 << option) per member
inline constexpr TScreenOptions soBackColor = 1u << vtoBackColor;
inline constexpr TScreenOptions soCopyBackOnClear = 1u << vtoCopyBackOnClear;

enum TBorderStyle : std::uint8_t { bsNone, bsSingle };

class TCustomEmulVT : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxRows = 50; // rows the view can show
    static constexpr int kScrollBarWidth = 16;
    static constexpr int kMaxCellSize = 256; // CharWidth and LineHeight

    explicit TCustomEmulVT(QWidget* parent = nullptr);
    ~TCustomEmulVT() override;

    emulvt::TScreen& Screen() { return FScreen; }
    const emulvt::TScreen& Screen() const { return FScreen; }

    // ---- what the application calls
    // One received byte. With AutoRepaint the repaint it needs is asked for
    // at the next refresh of the screen, together with every byte fed until
    // then, not once per byte.
    void FeedChar(char ch);
    // FeedChar for each byte of text in turn (a replayed history).
    void FeedText(std::string_view text);
    void ClearView();
    // Back to the interpreter state of a new view with a blank screen, so a
    // history replayed after it shows what it showed when it first arrived.
    void ResetTerminal();
    // The font-size menu items: 12 (regular, 12 x 16 cells) or 9 points
    // (bold, 6 x 12 cells); any other value counts as 12. Repaints at once.
    void SetFontSize(int points);
    // Changes the font object's size and style without touching the cell
    // size, as the font-size menu does before it sets CharWidth and LineHeight.
    void SetFontSizeAndStyle(int points, bool bold);

    // ---- properties
    int Rows() const { return FScreen.Rows(); }
    void SetRows(int rows); // 1..50
    int Cols() const { return FScreen.Cols(); }
    void SetCols(int cols); // 1..133
    int BackRows() const { return FBackRows; }
    void SetBackRows(int n) { FBackRows = n; }
    TBackColors BackColor() const { return FBackColor; }
    void SetBackColor(TBackColors c) { FBackColor = c; }
    TScreenOptions Options() const { return FOptions; }
    void SetOptions(TScreenOptions o) { FOptions = o; }
    bool AutoRepaint() const { return FAutoRepaint; }
    void SetAutoRepaint(bool v) { FAutoRepaint = v; }
    bool AutoLF() const { return FScreen.AutoLF(); }
    void SetAutoLF(bool v) { FScreen.SetAutoLF(v); }
    bool AutoCR() const { return FScreen.AutoCR(); }
    void SetAutoCR(bool v) { FScreen.SetAutoCR(v); }
    bool Xlat() const { return !FScreen.XlatDefault(); }
    void SetXlat(bool v);
    bool MonoChrome() const { return FMonoChrome; }
    void SetMonoChrome(bool v);
    bool Log() const { return FLog; }
    void SetLog(bool v);
    const QFont& Font() const { return FFont; }
    void SetFont(const QFont& font); // takes the cell size from the font's metrics
    int LineHeight() const { return FLineHeight; }
    void SetLineHeight(int h); // 1..256
    int CharWidth() const { return FCharWidth; }
    void SetCharWidth(int w); // 1..256
    bool Passive() const { return FPassive; }
    void SetPassive(bool v) { FPassive = v; }
    bool LocalEcho() const { return FLocalEcho; }
    void SetLocalEcho(bool v) { FLocalEcho = v; }
    int FKeys() const { return FFKeys; }
    void SetFKeys(int v) { FFKeys = v; }
    TBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TBorderStyle s) { FBorderStyle = s; }

    // The context menu, created empty on first use; the owner adds its items.
    QMenu* PopupMenu();
    void SetPopupMenu(QMenu* menu); // another menu (not owned), or none

    // ---- geometry and state
    int TextLeading() const { return FTextLeading; }
    int ViewTop() const { return FViewTop; }
    int ColumnX(int i) const { return i * FCharWidth; }
    int RowY(int i) const { return i * FLineHeight; }
    int RowAtY(int y) const;
    static QColor Palette(int index); // 0..15
    QScrollBar* ScrollBar() const { return FScrollBar; }

    // Asks now for the repaint of what the buffer changed.
    void FlushChanges();
    // Whether fed bytes wait for the next refresh to ask for their repaint.
    bool FlushPending() const { return FFlushPending; }
    // Time between two refreshes of the screen the view is on.
    int FrameMs() const;
    void SyncScrollBar();

    // Rectangles asked to repaint since the last call (the whole client area
    // appears as rect()), after the repaint the fed bytes wait for has been
    // asked for; the most recent kMaxRecorded are kept.
    std::vector<QRect> TakeInvalidations();
    static constexpr std::size_t kMaxRecorded = 4096;

    // ---- events (Sender first)
    std::function<void(TCustomEmulVT* Sender)> OnClick;
    std::function<void(TCustomEmulVT* Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift,
                       int X, int Y)>
        OnMouseDown;
    std::function<void(TCustomEmulVT* Sender, Qt::KeyboardModifiers Shift, int X, int Y)>
        OnMouseMove;
    std::function<void(TCustomEmulVT* Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift,
                       int X, int Y)>
        OnMouseUp;
    std::function<void(TCustomEmulVT* Sender, int& Key, Qt::KeyboardModifiers Shift)> OnKeyDown;
    std::function<void(TCustomEmulVT* Sender, char& Key)> OnKeyPress;
    std::function<void(TCustomEmulVT* Sender, const char* Buffer, int Len)> OnKeyBuffer;

protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;

private:
    void Paint(const QRect& update);
    void PaintRun(class QPainter& p, const emulvt::TLine& line, int a, int b, int top, int bottom);
    void Invalidate(const QRect& r);
    void ScheduleFlush();
    int MarginColour() const; // palette index of the margins, -1 in monochrome
    void InvalidateMargins();
    void LayoutScrollBar();
    void ScrollTo(int value);
    void TakeFontMetrics();
    QFont DrawFont() const;
    const QImage& Glyph(int colour, std::uint8_t ch);
    void DropGlyphs();
    void LogByte(char ch);
    void LogFailed(int err);

    emulvt::TScreen FScreen;
    QFont FFont;
    int FCharWidth = 12;
    int FLineHeight = 16;
    int FTextLeading = 0;
    int FViewTop = 0;
    QScrollBar* FScrollBar = nullptr;
    QPointer<QMenu> FPopupMenu; // cleared if its owner deletes it
    bool FOwnsPopup = false;

    int FBackRows = 0;
    TBackColors FBackColor = vtsWhite;
    TScreenOptions FOptions = soBackColor;
    bool FAutoRepaint = true;
    bool FMonoChrome = false;
    bool FPassive = false;
    bool FLocalEcho = false;
    int FFKeys = 1;
    TBorderStyle FBorderStyle = bsSingle;

    bool FLog = false;
    std::FILE* FLogFile = nullptr;
    int FLogErrno = 0;
    bool FLogReported = false; // a log failure is reported once

    // One pre-rendered cell image per text colour and byte, made on demand.
    std::vector<QImage> FGlyphs;
    std::size_t FGlyphBytes = 0;              // bounded: huge cells must not fill the memory
    std::array<std::int8_t, 256> FGlyphInk{}; // -1 unknown, 0 blank, 1 has ink
    std::vector<QRect> FInvalidations;
    bool FFlushPending = false;
    QTimer* FFlushTimer = nullptr;
    QElapsedTimer FLastFlush; // when the last repaint was asked for
    int FFlushedMargin = 0;   // margin colour as of the last repaint request
};

// The published form; all behaviour lives in TCustomEmulVT.
class TEmulVT : public TCustomEmulVT {
    Q_OBJECT
public:
    explicit TEmulVT(QWidget* parent = nullptr) : TCustomEmulVT(parent) {}
};
