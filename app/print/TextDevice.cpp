#include "TextDevice.h"

#include <QFontMetrics>
#include <QPagedPaintDevice>
#include <QStringList>

#include <algorithm>
#include <stdexcept>
#include <string>

TTextDevice::TTextDevice(QPaintDevice* device, std::function<bool()> newPage)
    : FDevice(device), FNewPage(std::move(newPage)), FFont(PrinterFont()) {}

TTextDevice::TTextDevice(QPagedPaintDevice* device)
    : TTextDevice(device, [device] { return device->newPage(); }) {}

TTextDevice::~TTextDevice() {
    if (FPainter.isActive()) FPainter.end();
}

QFont TTextDevice::PrinterFont() {
    QFont f;
    f.setFamilies(
        {"Courier New", "Liberation Mono", "Nimbus Mono PS", "DejaVu Sans Mono", "Noto Sans Mono"});
    f.setStyleHint(QFont::TypeWriter);
    f.setFixedPitch(true);
    f.setPointSize(9);
    return f;
}

void TTextDevice::Open() {
    if (FPainter.isActive()) return;
    if (!FDevice || !FPainter.begin(FDevice))
        throw std::runtime_error("The printer could not start the print job.");
    FPainter.setFont(FFont);
    FPainter.setPen(Qt::black);
    FPageWidth = FDevice->width();
    FPageHeight = FDevice->height();
    FFontHeight = FPainter.fontMetrics().height();
    FLines.clear();
    FPage = 1;
    FX = FY = 0;
    FLineHeight = 0;
    FLineText.clear();
    FPagePending = false;
}

// The page break is taken only when something goes onto the new page, so a
// job whose last line fills a page does not end with an empty sheet.
void TTextDevice::StartPendingPage() {
    if (!FPagePending) return;
    FPagePending = false;
    const int done = FPage;
    if (!FNewPage || !FNewPage())
        throw std::runtime_error("The printer failed while starting page " +
                                 std::to_string(done + 1) + " of the print job.");
    ++FPage;
    FX = FY = 0;
    if (OnPageDone) OnPageDone(done);
}

void TTextDevice::DrawPiece(const QString& piece, int width) {
    const QFontMetrics fm = FPainter.fontMetrics();
    FPainter.drawText(FX, FY + fm.ascent(), piece);
    FLineHeight = std::max(FLineHeight, fm.height() + 2);
    FX += width;
    FLineText += piece;
}

void TTextDevice::Write(const QString& text) {
    if (!FPainter.isActive()) throw std::runtime_error("The print job is not open.");
    StartPendingPage();
    const QFontMetrics fm = FPainter.fontMetrics();
    qsizetype pos = 0;
    while (pos < text.size()) {
        QString rest = text.mid(pos);
        qsizetype n = rest.size();
        int w = fm.horizontalAdvance(rest);
        if (FX + w > FPageWidth) {
            // The longest start of the rest that still fits before the right edge.
            qsizetype lo = 0, hi = n - 1;
            while (lo < hi) {
                const qsizetype mid = (lo + hi + 1) / 2;
                if (FX + fm.horizontalAdvance(rest.left(mid)) <= FPageWidth)
                    lo = mid;
                else
                    hi = mid - 1;
            }
            n = lo;
            // A page narrower than one character still takes one per line,
            // or the job would never end.
            if (n == 0 && FX == 0) n = 1;
            if (n > 0 && n < rest.size() && rest[n - 1].isHighSurrogate())
                n = n > 1 ? n - 1 : n + 1;
            w = fm.horizontalAdvance(rest.left(n));
        }
        if (n > 0) DrawPiece(rest.left(n), w);
        pos += n;
        if (pos < text.size()) EndLine();
    }
}

void TTextDevice::EndLine() {
    if (!FPainter.isActive()) throw std::runtime_error("The print job is not open.");
    StartPendingPage();
    const int h = FLineHeight > 0 ? FLineHeight : FFontHeight;
    if (FRecording) FLines.push_back({FPage, FY, h, FLineText});
    FX = 0;
    FY += h;
    FLineHeight = 0;
    FLineText.clear();
    if (FY > FPageHeight - 2 * h) FPagePending = true;
}

void TTextDevice::Close() {
    if (!FPainter.isActive()) return;
    if (FRecording && !FLineText.isEmpty()) FLines.push_back({FPage, FY, FLineHeight, FLineText});
    FLineText.clear();
    if (!FPainter.end()) throw std::runtime_error("The printer could not finish the print job.");
}
