// A printer opened as a plain text device: lines are written one after the
// other from the top-left corner of the printable area, with no margin,
// header or page number. Over-long text continues on the next printed line;
// a new page begins when the next line would come too close to the bottom.
#pragma once

#include <QFont>
#include <QPainter>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QPaintDevice;
class QPagedPaintDevice;

// One printed line as laid out: its page (1 = first), the top of its text and
// its height in device units, and the text drawn on it.
struct TPrintedLine {
    int Page = 1;
    int Y = 0;
    int Height = 0;
    QString Text;
};

class TTextDevice {
public:
    // device: where the pages are painted (its size is the printable area);
    // newPage: ends the current page and begins the next, false on failure.
    TTextDevice(QPaintDevice* device, std::function<bool()> newPage);
    explicit TTextDevice(QPagedPaintDevice* device);
    ~TTextDevice();
    TTextDevice(const TTextDevice&) = delete;
    TTextDevice& operator=(const TTextDevice&) = delete;

    // "Courier New" 9 points; the fallbacks keep it monospaced where that
    // family is not installed.
    static QFont PrinterFont();

    void SetFont(const QFont& font) { FFont = font; } // takes effect at Open
    const QFont& Font() const { return FFont; }
    // Keep a record of every printed line (for checking the layout).
    void SetRecording(bool on) { FRecording = on; }
    const std::vector<TPrintedLine>& Lines() const { return FLines; }

    // Told after a page has been finished (its number), so a long job can
    // let the window breathe between pages.
    std::function<void(int page)> OnPageDone;

    // Begins the job. Throws std::runtime_error when the device cannot be painted on.
    void Open();
    // Draws text at the current position, continuing on new printed lines
    // where it would pass the right edge. Throws when a new page fails.
    void Write(const QString& text);
    // Ends the current line: back to the left edge and down by the line's height.
    void EndLine();
    // Ends the job. Throws when the device reports a failure.
    void Close();
    bool IsOpen() const { return FPainter.isActive(); }

    int Page() const { return FPage; } // the page being written (1 = first)
    int X() const { return FX; }
    int Y() const { return FY; }
    int PageWidth() const { return FPageWidth; }
    int PageHeight() const { return FPageHeight; }
    int FontHeight() const { return FFontHeight; }

private:
    void DrawPiece(const QString& piece, int width);
    void StartPendingPage();

    QPaintDevice* FDevice;
    std::function<bool()> FNewPage;
    QPainter FPainter;
    QFont FFont;
    bool FRecording = false;
    std::vector<TPrintedLine> FLines;
    int FPage = 1;
    int FX = 0;
    int FY = 0;
    int FLineHeight = 0;       // tallest text on the current line plus 2; 0 = nothing drawn
    QString FLineText;         // what the current line holds, for the record
    bool FPagePending = false; // a page break is due before the next output
    int FPageWidth = 0;
    int FPageHeight = 0;
    int FFontHeight = 0;
};
