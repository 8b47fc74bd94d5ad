#include "ReceivePrint.h"

#include "Cp1252.h"
#include "Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <QSaveFile>

#include <algorithm>
#include <exception>
#include <stdexcept>

namespace {

bool gPrinting = false; // one print of the window at a time

struct TBusy {
    TBusy() { gPrinting = true; }
    ~TBusy() { gPrinting = false; }
    TBusy(const TBusy&) = delete;
    TBusy& operator=(const TBusy&) = delete;
};

[[noreturn]] void Fail(const QString& message) {
    throw std::runtime_error(message.toStdString());
}

// Output starts at the top-left corner of what the printer can print, but
// never nearer the paper's edge than 10 mm: a PDF file reports no margins of
// its own. Wider margins, the printer's or chosen in the dialog, are kept.
void UsePrintableArea(QPrinter& printer) {
    // 10 mm in whole points, rounded up: devices place margins by points.
    constexpr qreal kLeast = 29.0;
    printer.setFullPage(false);
    QPageLayout layout = printer.pageLayout();
    layout.setUnits(QPageLayout::Point);
    const QMarginsF now = layout.margins();
    const QMarginsF least = layout.minimumMargins();
    const auto side = [](qreal a, qreal b) { return std::max({a, b, kLeast}); };
    printer.setPageMargins(QMarginsF(side(now.left(), least.left()), side(now.top(), least.top()),
                                     side(now.right(), least.right()),
                                     side(now.bottom(), least.bottom())),
                           QPageLayout::Point);
}

void CheckPrinter(QPrinter& printer) {
    if (printer.outputFormat() == QPrinter::PdfFormat && printer.outputFileName().isEmpty())
        Fail("There is no printer to print on. Choose printing to a file in the print dialog.");
    if (!printer.isValid()) Fail("The printer \"" + printer.printerName() + "\" is not available.");
}

// Gives up a job that failed: it must not reach the printer half done.
void AbortJob(QPrinter& printer) {
    if (printer.printerState() == QPrinter::Active) printer.abort();
}

void CheckFinished(QPrinter& printer) {
    if (printer.printerState() == QPrinter::Error)
        Fail("The print system reported an error for the print job.");
}

// A job that failed midway to a file leaves no half-written document.
void DiscardPartialFile(QPrinter& printer) {
    if (!printer.outputFileName().isEmpty()) QFile::remove(printer.outputFileName());
}

TPrintResult PrintText(const TPrintRequest& rq, QPrinter& printer) {
    UsePrintableArea(printer);
    CheckPrinter(printer);
    TPrintResult r;
    std::exception_ptr failure;
    bool started = false;
    {
        TTextDevice device(&printer);
        device.SetRecording(rq.RecordLayout);
        // Between pages the window repaints and the ports deliver; clicks wait
        // for the end of the job, so nothing changes what is being printed.
        device.OnPageDone = [](int) {
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        };
        try {
            try {
                device.Open();
            } catch (const std::runtime_error&) {
                if (!printer.outputFileName().isEmpty())
                    Fail("The print job could not be written to " + printer.outputFileName() + ".");
                throw;
            }
            started = true;
            for (const std::string& line : rq.Lines) {
                device.Write(FromCp1252(line));
                device.EndLine();
            }
            device.Close();
        } catch (...) {
            failure = std::current_exception();
            AbortJob(printer);
        }
        r.Pages = device.Page();
        if (rq.RecordLayout) r.Layout = device.Lines();
    } // the device lets go of the printer here
    if (failure) {
        if (started) DiscardPartialFile(printer);
        std::rethrow_exception(failure);
    }
    CheckFinished(printer);
    r.Outcome = poTextPrinted;
    return r;
}

void SaveBitmap(const QImage& picture, const QString& path) {
    // Written beside and renamed into place, so a failed save leaves no broken file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        Fail("Cannot save the picture as " + path + ": " + file.errorString());
    if (!picture.save(&file, "BMP")) {
        file.cancelWriting();
        Fail("Cannot save the picture as " + path + ".");
    }
    if (!file.commit()) Fail("Cannot save the picture as " + path + ": " + file.errorString());
}

void PrintPicture(const QImage& picture, QPrinter& printer) {
    printer.setPageOrientation(QPageLayout::Landscape);
    UsePrintableArea(printer);
    CheckPrinter(printer);
    QPainter painter;
    if (!painter.begin(&printer)) {
        if (!printer.outputFileName().isEmpty())
            Fail("The print job could not be written to " + printer.outputFileName() + ".");
        Fail("The printer could not start the print job.");
    }
    painter.drawImage(QRect(0, 0, printer.width(), printer.height()), picture);
    if (!painter.end()) {
        AbortJob(printer);
        Fail("The printer could not finish the print job.");
    }
    CheckFinished(printer);
    platform::MessageBeep(0xFFFF);
}

bool IsBitmapName(const QString& file) {
    return file.endsWith(QLatin1String(".bmp"), Qt::CaseInsensitive);
}

TPrintResult PrintAnsi(const TPrintRequest& rq, TPrintDialog& dialog, const QString& proposed) {
    // What the dialog covered is drawn again, and whatever the ports have
    // delivered meanwhile is in the picture.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    const QImage picture = rq.RenderView ? rq.RenderView() : QImage();
    if (picture.isNull()) Fail("The terminal view gave no picture to print.");
    TPrintResult r;
    if (dialog.PrintToFile()) {
        // The file named in the dialog is the one written: a BMP picture by
        // its name (or the proposed one, which may have run out of numbers),
        // otherwise the printer's PDF with the picture on a landscape page.
        r.File = dialog.FileName().isEmpty() ? proposed : dialog.FileName();
        if (IsBitmapName(r.File) || r.File == proposed) {
            SaveBitmap(picture, r.File);
            r.Outcome = poBitmapSaved;
            return r;
        }
    }
    PrintPicture(picture, dialog.Printer());
    r.Outcome = poPicturePrinted;
    r.Pages = 1;
    return r;
}

} // namespace

QString FromCp1252(const std::string& bytes) {
    QString s;
    s.reserve(static_cast<qsizetype>(bytes.size()));
    for (unsigned char b : bytes)
        s += QChar(static_cast<char16_t>(cp1252::ToUnicode(b)));
    return s;
}

QString NextBitmapName(const QString& dir, int channel) {
    if (channel != 1 && channel != 2) Fail("There is no channel " + QString::number(channel) + ".");
    const QDir d(dir.isEmpty() ? QDir::currentPath() : dir);
    const QString stem = channel == 1 ? "ANSI10" : "ANSI20";
    for (int i = 0; i <= 100; ++i) {
        const QString path = d.filePath(stem + QString::number(i) + ".bmp");
        const QFileInfo info(path);
        // A dangling link is taken too: saving through it would write elsewhere.
        if (!info.exists() && !info.isSymLink()) return path;
    }
    return d.filePath(stem);
}

TPrintResult PrintReceiveView(const TPrintRequest& rq) {
    if (gPrinting) return {poBusy, 0, {}, {}};
    if (rq.Channel != 1 && rq.Channel != 2)
        Fail("There is no channel " + QString::number(rq.Channel) + ".");
    const bool ansi = rq.Mode == 3;
    if (!ansi && rq.Lines.empty()) return {};
    if (!rq.Dialog) Fail("No print dialog is available.");
    TBusy busy;
    QString proposed;
    if (ansi) {
        proposed = NextBitmapName(rq.Directory, rq.Channel);
        rq.Dialog->ProposeFileName(proposed);
    } else if (IsBitmapName(rq.Dialog->FileName())) {
        // A text job offers the last picture's file name as a PDF.
        QString pdf = rq.Dialog->FileName();
        pdf.chop(4);
        rq.Dialog->ProposeFileName(pdf + ".pdf");
    }
    if (!rq.Dialog->Execute()) return {poCancelled, 0, {}, {}};
    if (ansi) return PrintAnsi(rq, *rq.Dialog, proposed);
    return PrintText(rq, rq.Dialog->Printer());
}
