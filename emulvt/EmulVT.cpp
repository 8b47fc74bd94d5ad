#include "EmulVT.h"

#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <utility>

#include "Cp437.h"
#include "Platform.h"

namespace {

constexpr int kLeftMargin = 6;
constexpr int kTopMargin = 4;
constexpr const char* kLogName = "EMULVT.LOG";

const QColor kPalette[16] = {{0, 0, 0},     {168, 0, 0},    {0, 168, 0},    {168, 168, 0},
                             {0, 0, 168},   {168, 0, 168},  {0, 112, 216},  {200, 200, 200},
                             {84, 84, 84},  {255, 84, 84},  {84, 255, 84},  {255, 255, 84},
                             {84, 84, 255}, {255, 84, 255}, {84, 255, 255}, {255, 255, 255}};
const QColor kMonoGrey{127, 127, 127};
const QColor kMonoWhite{255, 255, 255};
// Text colours in monochrome mode, as palette entries (both are in it).
constexpr int kBlackText = 0;
constexpr int kWhiteText = 15;

// The runtime's wording of the input/output errors a log file can meet.
std::string IoErrorMessage(int err) {
    switch (err) {
    case ENOENT:
        return "File not found";
    case ENOTDIR:
        return "Path not found";
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return "File access denied";
    case ENOSPC:
    case EIO:
        return "Disk write error";
    default:
        return "I/O error " + std::to_string(err);
    }
}

} // namespace

TCustomEmulVT::TCustomEmulVT(QWidget* parent) : QWidget(parent) {
    // Every pixel is painted here; nothing is erased first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::ClickFocus);
    setMouseTracking(true);

    // "Terminal" where it exists, else a monospace font with the box
    // drawing and block glyphs of the code page.
    FFont.setFamilies({QStringLiteral("Terminal"), QStringLiteral("DejaVu Sans Mono"),
                       QStringLiteral("Noto Sans Mono"), QStringLiteral("Monospace")});
    FFont.setStyleHint(QFont::TypeWriter);
    FFont.setFixedPitch(true);
    FFont.setPixelSize(16);
    FFont.setWeight(QFont::Normal);
    FGlyphInk.fill(-1);
    TakeFontMetrics();

    resize(250, 100);
    FScrollBar = new QScrollBar(Qt::Vertical, this);
    FScrollBar->setObjectName(QStringLiteral("ScrollBar"));
    FScrollBar->setFocusPolicy(Qt::NoFocus);
    connect(FScrollBar, &QScrollBar::valueChanged, this,
            [this](int v) { platform::Guarded([this, v] { ScrollTo(v); }); });
    SyncScrollBar();

    // Bytes arrive far faster than a screen shows them: the repaint they need
    // is asked for once a refresh, whatever their number.
    FFlushTimer = new QTimer(this);
    FFlushTimer->setSingleShot(true);
    FFlushTimer->setTimerType(Qt::PreciseTimer);
    connect(FFlushTimer, &QTimer::timeout, this,
            [this] { platform::Guarded([this] { FlushChanges(); }); });

    FScreen.MoveTo(0, 0);
    FScreen.ProcessText("EmulVT");
    FScreen.MoveTo(0, 1);
}

TCustomEmulVT::~TCustomEmulVT() {
    platform::Guarded([this] { SetLog(false); });
}

// ---- application operations ----------------------------------------------

void TCustomEmulVT::FeedChar(char ch) {
    if (FLog) LogByte(ch); // the byte as received, before any translation
    FScreen.ProcessByte(static_cast<std::uint8_t>(ch));
    if (FAutoRepaint && !FFlushPending) ScheduleFlush();
}

void TCustomEmulVT::FeedText(std::string_view text) {
    if (FLog) {
        for (char ch : text)
            FeedChar(ch);
        return;
    }
    for (char ch : text)
        FScreen.ProcessByte(static_cast<std::uint8_t>(ch));
    if (!text.empty() && FAutoRepaint && !FFlushPending) ScheduleFlush();
}

void TCustomEmulVT::ClearView() {
    FScreen.ClearAll();
}

void TCustomEmulVT::ResetTerminal() {
    FScreen.ResetTerminal();
}

void TCustomEmulVT::SetFontSize(int points) {
    if (points == 9) {
        SetFontSizeAndStyle(9, true);
        SetCharWidth(6);
        SetLineHeight(12);
    } else {
        SetFontSizeAndStyle(12, false);
        SetCharWidth(12);
        SetLineHeight(16);
    }
    repaint();
}

void TCustomEmulVT::SetFontSizeAndStyle(int points, bool bold) {
    FFont.setPointSize(std::clamp(points, 1, 200));
    FFont.setBold(bold);
    // The glyphs are placed by the leading of the font they are drawn with.
    const QFont f = DrawFont();
    FTextLeading = std::max(0, QFontMetrics(f).height() - f.pixelSize());
    DropGlyphs();
}

// ---- properties --------------------------------------------------------------

void TCustomEmulVT::SetRows(int rows) {
    rows = std::clamp(rows, 1, kMaxRows);
    if (rows == FScreen.Rows()) return;
    FScreen.ResizeRows(rows);
    SyncScrollBar();
    FScreen.ClearAll();
    repaint();
}

void TCustomEmulVT::SetCols(int cols) {
    cols = std::clamp(cols, 1, emulvt::kLineCells);
    if (cols == FScreen.Cols()) return;
    FScreen.SetCols(cols);
    FScreen.ClearAll();
    repaint();
}

void TCustomEmulVT::SetXlat(bool v) {
    FScreen.SetRecvXlat(!v);
    FScreen.SetXlatDefault(!v);
}

void TCustomEmulVT::SetMonoChrome(bool v) {
    if (v == FMonoChrome) return;
    FMonoChrome = v;
    update();
}

void TCustomEmulVT::SetFont(const QFont& font) {
    FFont = font;
    TakeFontMetrics();
}

void TCustomEmulVT::SetLineHeight(int h) {
    h = std::clamp(h, 1, kMaxCellSize);
    if (h == FLineHeight) return;
    FLineHeight = h;
    DropGlyphs();
}

void TCustomEmulVT::SetCharWidth(int w) {
    w = std::clamp(w, 1, kMaxCellSize);
    if (w == FCharWidth) return;
    FCharWidth = w;
    DropGlyphs();
}

QMenu* TCustomEmulVT::PopupMenu() {
    if (!FPopupMenu) {
        FPopupMenu = new QMenu(this);
        FOwnsPopup = true;
    }
    return FPopupMenu;
}

void TCustomEmulVT::SetPopupMenu(QMenu* menu) {
    if (FOwnsPopup && menu != FPopupMenu) delete FPopupMenu.data();
    FOwnsPopup = false;
    FPopupMenu = menu;
}

QColor TCustomEmulVT::Palette(int index) {
    return kPalette[index & 15];
}

int TCustomEmulVT::RowAtY(int y) const {
    for (int r = FScreen.Rows() - 1; r >= 1; --r)
        if (RowY(r) <= y - kTopMargin) return r;
    return 0;
}

// ---- repaint requests ----------------------------------------------------

int TCustomEmulVT::FrameMs() const {
    const QScreen* s = screen();
    const double hz = std::clamp(s ? s->refreshRate() : 60.0, 24.0, 240.0);
    return static_cast<int>(std::lround(1000.0 / hz));
}

void TCustomEmulVT::ScheduleFlush() {
    FFlushPending = true;
    // A byte after a quiet spell is shown at once; a stream once a refresh.
    const int frame = FrameMs();
    const qint64 since = FLastFlush.isValid() ? FLastFlush.elapsed() : frame;
    FFlushTimer->start(static_cast<int>(std::max<qint64>(0, frame - since)));
}

void TCustomEmulVT::FlushChanges() {
    FFlushPending = false;
    FFlushTimer->stop();
    FLastFlush.start();
    const emulvt::TChangedArea& a = FScreen.ChangedArea();
    const int tl = FTextLeading;
    const int margin = MarginColour();
    if (FScreen.AllChanged()) {
        Invalidate(rect());
    } else {
        // The margins are painted in the current background.
        if (margin != FFlushedMargin) InvalidateMargins();
        // Changed rows above the window are not visible.
        const int top = std::max(a.Top, FViewTop);
        if (!a.Empty() && top <= a.Bottom) {
            // Column 0's background also covers the left margin.
            const int l = a.Left == 0 ? 0 : ColumnX(a.Left) + kLeftMargin;
            const int t = RowY(top - FViewTop) + kTopMargin + tl;
            const int r = ColumnX(a.Right + 1) + kLeftMargin;
            const int b = RowY(a.Bottom + 1 - FViewTop) + kTopMargin + tl;
            Invalidate(QRect(l, t, r - l, b - t));
        }
    }
    const int row = FScreen.CurRow() - FViewTop;
    if (row >= 0) {
        const int l = ColumnX(FScreen.CurCol()) + kLeftMargin;
        const int t = RowY(row) + kTopMargin;
        Invalidate(QRect(l, t, FCharWidth, RowY(row + 1) + kTopMargin - t));
    }
    FFlushedMargin = margin;
    FScreen.ResetChanges();
}

int TCustomEmulVT::MarginColour() const {
    return FMonoChrome ? -1 : FScreen.CurAttr() >> 4;
}

void TCustomEmulVT::InvalidateMargins() {
    const int w = width();
    const int h = height();
    // Above the first row, with the first row's leading.
    Invalidate(QRect(0, 0, w, FTextLeading + kTopMargin + 1));
    // Right of the last column.
    const int right = ColumnX(FScreen.Cols()) + kLeftMargin;
    if (right < w) Invalidate(QRect(right, 0, w - right, h));
    // Below the last row drawn; a row that does not fit whole is margin too,
    // from the top of its text, which is inside the row above's background.
    int bottom = RowY(FScreen.Rows() - FViewTop) + kTopMargin;
    for (int r = FViewTop; r < FScreen.Rows(); ++r) {
        const int y = RowY(r - FViewTop) + kTopMargin;
        if (y + FLineHeight > h - kTopMargin) {
            bottom = y;
            break;
        }
    }
    if (bottom < h) Invalidate(QRect(0, bottom, w, h - bottom));
}

void TCustomEmulVT::Invalidate(const QRect& r) {
    if (r.isEmpty()) return;
    if (FInvalidations.size() < kMaxRecorded) FInvalidations.push_back(r);
    update(r);
}

std::vector<QRect> TCustomEmulVT::TakeInvalidations() {
    if (FFlushPending) FlushChanges();
    return std::exchange(FInvalidations, {});
}

// ---- scroll bar ------------------------------------------------------------

void TCustomEmulVT::LayoutScrollBar() {
    const QRect g(width() - kScrollBarWidth, 0, kScrollBarWidth, height());
    if (FScrollBar->geometry() != g) FScrollBar->setGeometry(g);
}

void TCustomEmulVT::SyncScrollBar() {
    LayoutScrollBar();
    // Rows that fit, rounded to the nearest (halves to even).
    const double fit = (height() - 8) / double(FLineHeight);
    const int visible = std::clamp(static_cast<int>(std::nearbyint(fit)), 0, FScreen.Rows());
    const int max = FScreen.Rows() - visible;
    {
        const QSignalBlocker block(FScrollBar);
        FScrollBar->setRange(0, max);
        FScrollBar->setValue(FViewTop);
        FScrollBar->setSingleStep(1);
        FScrollBar->setPageStep(visible);
        FScrollBar->setEnabled(max > 0);
    }
    FViewTop = FScrollBar->value(); // a smaller range moves the bar, and the view with it
}

void TCustomEmulVT::ScrollTo(int value) {
    FViewTop = value;
    repaint();
    setFocus();
}

// ---- painting ----------------------------------------------------------------

QFont TCustomEmulVT::DrawFont() const {
    QFont f = FFont;
    int px = FFont.pixelSize();
    if (px <= 0) px = static_cast<int>(std::lround(FFont.pointSizeF() * 96.0 / 72.0));
    f.setPixelSize(std::clamp(px, 1, 4 * kMaxCellSize));
    return f;
}

void TCustomEmulVT::TakeFontMetrics() {
    const QFont f = DrawFont();
    const QFontMetrics fm(f);
    // The width of a cell of a monospace font (the widest glyph of a fallback
    // font may belong to a symbol far wider than its cells).
    FCharWidth = std::clamp(fm.horizontalAdvance(QLatin1Char('M')), 1, kMaxCellSize);
    FLineHeight = std::clamp(fm.height(), 1, kMaxCellSize);
    FTextLeading = std::max(0, fm.height() - f.pixelSize());
    DropGlyphs();
}

void TCustomEmulVT::DropGlyphs() {
    FGlyphs.clear();
    FGlyphBytes = 0;
    FGlyphInk.fill(-1);
}

const QImage& TCustomEmulVT::Glyph(int colour, std::uint8_t ch) {
    constexpr std::size_t kMaxGlyphBytes = 64u << 20;
    if (!FGlyphs.empty()) {
        const QImage& cached = FGlyphs[std::size_t(colour) * 256 + ch];
        if (!cached.isNull()) return cached;
    }
    const std::size_t bytes = std::size_t(FCharWidth) * std::size_t(FLineHeight) * 4;
    if (FGlyphs.empty() || FGlyphBytes + bytes > kMaxGlyphBytes) {
        FGlyphs.assign(16 * 256, QImage()); // start again rather than grow without end
        FGlyphBytes = 0;
    }
    FGlyphBytes += bytes;
    QImage& tile = FGlyphs[std::size_t(colour) * 256 + ch];

    // The font's whole line, ascent and descent, is fitted to the cell: marks
    // above capitals stay inside it, and box drawing and blocks, which span
    // the line, join up with their neighbours.
    tile = QImage(FCharWidth, FLineHeight, QImage::Format_ARGB32_Premultiplied);
    tile.fill(Qt::transparent);
    {
        QPainter p(&tile);
        QFont f = DrawFont();
        // Line drawing and blocks (B0..DF) are drawn with hard edges and a
        // little past the cell on every side, so that neighbours meet without
        // a faint seam and thin lines stay one crisp pixel wide.
        const bool joins = ch >= 0xB0 && ch <= 0xDF;
        if (joins) f.setStyleStrategy(QFont::NoAntialias);
        p.setFont(f);
        p.setPen(kPalette[colour]);
        const QFontMetricsF fm(f);
        const qreal advance = fm.horizontalAdvance(QLatin1Char('M'));
        const qreal line = fm.ascent() + fm.descent();
        const qreal over = joins ? 0.5 : 0.0;
        if (advance > 0 && line > 0) {
            p.translate(-over, -over);
            p.scale((FCharWidth + 2 * over) / advance, (FLineHeight + 2 * over) / line);
        }
        const char32_t cp = emulvt::Cp437ToUnicode(ch);
        p.drawText(QPointF(0, fm.ascent()), QString::fromUcs4(&cp, 1));
    }
    if (FGlyphInk[ch] < 0) {
        bool ink = false;
        for (int y = 0; y < tile.height() && !ink; ++y) {
            const QRgb* px = reinterpret_cast<const QRgb*>(tile.constScanLine(y));
            for (int x = 0; x < tile.width(); ++x)
                if (qAlpha(px[x])) {
                    ink = true;
                    break;
                }
        }
        FGlyphInk[ch] = ink ? 1 : 0;
    }
    return tile;
}

void TCustomEmulVT::paintEvent(QPaintEvent* e) {
    platform::Guarded([this, e] { Paint(e->rect()); });
}

void TCustomEmulVT::Paint(const QRect& update) {
    SyncScrollBar();
    if (update.isEmpty()) return;
    QPainter p(this);
    // Margins take the background of the current attribute.
    const QColor margin = FMonoChrome ? kMonoWhite : kPalette[FScreen.CurAttr() >> 4];
    const auto fill = [&p, &margin](int l, int t, int r, int b) {
        if (r > l && b > t) p.fillRect(QRect(l, t, r - l, b - t), margin);
    };
    const int clientRight = width();
    const int clientBottom = height();
    const int ul = update.left();
    const int ut = update.top();
    const int ur = update.x() + update.width();
    const int ub = update.y() + update.height();
    const int tl = FTextLeading;

    const int r0 = std::max(0, RowAtY(ut) - 1);
    int y = RowY(r0) + kTopMargin;
    if (ut <= kTopMargin) fill(ul, ut, ur + 1, tl + kTopMargin + 1);

    // Cells that meet the update rectangle.
    const int cw = FCharWidth;
    const int firstCol = ul < kLeftMargin + cw ? 0 : (ul - kLeftMargin) / cw;
    const int endCol = std::min(FScreen.Cols(), std::max(1, (ur - kLeftMargin + cw - 1) / cw));

    for (int r = r0 + FViewTop; r < FScreen.Rows(); ++r) {
        if (y + FLineHeight > clientBottom - kTopMargin) {
            // a row that does not fit whole is not drawn
            fill(0, y, clientRight, clientBottom);
            break;
        }
        const emulvt::TLine& line = FScreen.RowAt(r);
        const int top = y + tl;
        const int bottom = RowY(r + 1 - FViewTop) + kTopMargin + tl;
        for (int a = firstCol; a < endCol;) {
            int b = a + 1;
            while (b < endCol && line.Attrs[b] == line.Attrs[a])
                ++b;
            PaintRun(p, line, a, b, top, bottom);
            a = b;
        }
        y = RowY(r + 1 - FViewTop) + kTopMargin;
        if (y > ub) break;
    }
    if (FScreen.Rows() - FViewTop <= kMaxRows)
        fill(0, RowY(FScreen.Rows() - FViewTop) + kTopMargin + tl, clientRight, clientBottom + 1);
    if (ColumnX(FScreen.Cols()) + kLeftMargin < clientRight - 2)
        fill(ColumnX(FScreen.Cols()) + kLeftMargin, kTopMargin, ur + 1, clientBottom + 1);
}

void TCustomEmulVT::PaintRun(QPainter& p, const emulvt::TLine& line, int a, int b, int top,
                             int bottom) {
    const std::uint8_t attr = line.Attrs[a];
    QColor back;
    int text;
    if (FMonoChrome) {
        back = attr >= 15 ? kMonoGrey : kMonoWhite;
        text = (attr & 15) != 0 ? kBlackText : kWhiteText;
    } else {
        back = kPalette[attr >> 4];
        text = attr & 15;
    }
    const int left = a == 0 ? 0 : ColumnX(a) + kLeftMargin;
    const int right = ColumnX(b) + kLeftMargin;
    p.fillRect(QRect(left, top, right - left, bottom - top), back);
    for (int c = a; c < b; ++c) {
        const std::uint8_t ch = line.Chars[c];
        if (FGlyphInk[ch] == 0) continue; // blank glyph: the background is all
        const QImage& glyph = Glyph(text, ch);
        if (FGlyphInk[ch]) p.drawImage(ColumnX(c) + kLeftMargin, top, glyph);
    }
}

void TCustomEmulVT::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    platform::Guarded([this] { SyncScrollBar(); });
}

// ---- mouse and keyboard ----------------------------------------------------

void TCustomEmulVT::mousePressEvent(QMouseEvent* e) {
    platform::Guarded([this, e] {
        const QPoint pos = e->position().toPoint();
        if (OnMouseDown) OnMouseDown(this, e->button(), e->modifiers(), pos.x(), pos.y());
        if (e->button() == Qt::LeftButton) setFocus(Qt::MouseFocusReason);
    });
}

void TCustomEmulVT::mouseReleaseEvent(QMouseEvent* e) {
    platform::Guarded([this, e] {
        const QPoint pos = e->position().toPoint();
        if (OnMouseUp) OnMouseUp(this, e->button(), e->modifiers(), pos.x(), pos.y());
        if (e->button() == Qt::LeftButton && rect().contains(pos) && OnClick) OnClick(this);
    });
}

void TCustomEmulVT::mouseMoveEvent(QMouseEvent* e) {
    platform::Guarded([this, e] {
        const QPoint pos = e->position().toPoint();
        if (OnMouseMove) OnMouseMove(this, e->modifiers(), pos.x(), pos.y());
    });
}

void TCustomEmulVT::keyPressEvent(QKeyEvent* e) {
    e->accept();
    if (FPassive) return; // a passive view takes no keyboard input
    platform::Guarded([this, e] {
        int key = e->key();
        if (OnKeyDown) OnKeyDown(this, key, e->modifiers());
        QByteArray text = e->text().toLatin1();
        for (char& ch : text) {
            if (OnKeyPress) OnKeyPress(this, ch);
            if (ch && FLocalEcho) FeedChar(ch);
        }
        if (!text.isEmpty() && OnKeyBuffer) OnKeyBuffer(this, text.constData(), int(text.size()));
    });
}

void TCustomEmulVT::contextMenuEvent(QContextMenuEvent* e) {
    e->accept();
    if (FPopupMenu && !FPopupMenu->isEmpty()) FPopupMenu->popup(e->globalPos());
}

// ---- log file ----------------------------------------------------------------

void TCustomEmulVT::SetLog(bool v) {
    if (v == FLog) return;
    if (v) {
        FLog = true;
        FLogReported = false;
        FLogFile = std::fopen(kLogName, "ab");
        if (!FLogFile) FLogFile = std::fopen(kLogName, "wb");
        if (!FLogFile) {
            FLogErrno = errno; // shows at the first fed byte
            return;
        }
        if (std::fputs("<Open>", FLogFile) < 0 || std::fflush(FLogFile) != 0) LogFailed(errno);
    } else {
        FLog = false;
        if (!FLogFile) return;
        const bool written = std::fputs("<Close>", FLogFile) >= 0;
        const int err = errno;
        const bool closed = std::fclose(FLogFile) == 0;
        FLogFile = nullptr;
        if (!written || !closed) LogFailed(written ? errno : err);
    }
}

void TCustomEmulVT::LogByte(char ch) {
    if (!FLogFile) {
        LogFailed(FLogErrno);
        return;
    }
    if (std::fputc(static_cast<unsigned char>(ch), FLogFile) == EOF || std::fflush(FLogFile) != 0)
        LogFailed(errno);
}

void TCustomEmulVT::LogFailed(int err) {
    // Reported once; the view goes on showing what it receives.
    if (FLogReported) return;
    FLogReported = true;
    platform::ReportError(IoErrorMessage(err));
}
