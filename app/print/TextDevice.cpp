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
        const int room = FPageWidth - FX;
        const qsizetype left = text.size() - pos;
        int width = 0, widthLo = 0; // of the last start measured, of lo
        const auto fits = [&](qsizetype k) {
            width = fm.horizontalAdvance(text.mid(pos, k));
            return width <= room;
        };
        // The longest start of the rest that fits before the right edge. Only
        // starts about a line long are measured, so a huge line costs no more
        // per printed line than a short one: from a count that surely fits
        // (nothing is wider than the widest character) double until one does
        // not, then halve the gap.
        qsizetype lo = 0, hi = left + 1; // lo fits, hi does not
        qsizetype k = std::clamp<qsizetype>(room / std::max(1, fm.maxWidth()), 1, left);
        while (true) {
            if (!fits(k)) {
                hi = k;
                break;
            }
            lo = k;
            widthLo = width;
            if (k == left) break;
            k = std::min(left, k * 2);
        }
        while (hi - lo > 1) {
            const qsizetype mid = lo + (hi - lo) / 2;
            if (fits(mid)) {
                lo = mid;
                widthLo = width;
            } else {
                hi = mid;
            }
        }
        qsizetype n = lo;
        const bool lineFull = n < left;
        // A page narrower than one character still takes one per line, or
        // the job would never end.
        if (n == 0 && FX == 0) n = 1;
        if (n > 0 && n < left && text[pos + n - 1].isHighSurrogate()) n = n > 1 ? n - 1 : n + 1;
        if (n > 0) {
            const QString piece = text.mid(pos, n);
            DrawPiece(piece, n == lo ? widthLo : fm.horizontalAdvance(piece));
        }
        pos += n;
        if (lineFull && pos < text.size()) EndLine();
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
