// Printing a receive view: the text device's layout on real paint devices, the
// print operation through the dialog seam, bitmap files, print-system failures.
#include "Platform.h"
#include "ReceivePrint.h"

#include <QApplication>
#include <QFontInfo>
#include <QLineEdit>
#include <QPrinterInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

namespace {

QImage TestPicture() {
    QImage img(502, 298, QImage::Format_RGB32);
    img.fill(QColor(0, 0, 168));
    QPainter(&img).fillRect(0, 0, 40, 20, QColor(255, 255, 84));
    return img;
}

// With n lines of a receive view's HEX form: 20 bytes a line, "XX " each.
TPrintRequest Request(TPrintDialog& dlg, std::uint8_t mode, int n = 0) {
    TPrintRequest rq;
    rq.Dialog = &dlg;
    rq.Mode = mode;
    rq.RenderView = [] { return TestPicture(); };
    for (int i = 0; i < n * 20; ++i)
        (i % 20 ? rq.Lines.back() : rq.Lines.emplace_back()) +=
            QString::asprintf("%02X ", i & 0xFF).toStdString();
    return rq;
}

int PdfPageCount(const QString& path) {
    QFile f(path);
    const QByteArray pdf = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    return int(pdf.count("/Type /Page") - pdf.count("/Type /Pages"));
}

int OnFirstPage(const std::vector<TPrintedLine>& lines) {
    return int(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.Page == 1; }));
}

// A printer that stops working after its first page.
class TFailingPrinter : public QPrinter {
public:
    explicit TFailingPrinter(const QString& file) : QPrinter(QPrinter::HighResolution) {
        setOutputFormat(QPrinter::PdfFormat);
        setOutputFileName(file);
    }
    bool newPage() override { return false; }
};

} // namespace

class TPrintTest : public QObject {
    Q_OBJECT
    std::optional<QTemporaryDir> dir; // a fresh one for every test

private slots:
    void init() {
        QVERIFY(dir.emplace().isValid());
        platform::TakeBeeps();
    }
    void cleanup() { platform::SetErrorReporter(nullptr); }

    void hexLinesPrintOneEachWithPageBreaks_windowKeepsWorking_orientationKept() {
        const QFont font = TTextDevice::PrinterFont();
        QCOMPARE(font.family(), QString("Courier New"));
        QCOMPARE(font.pointSize(), 9);
        QVERIFY(QFontInfo(font).fixedPitch()); // so are the fallbacks
        const QString out = dir->filePath("paper.pdf");
        TFakePrintDialog dlg(out);
        TPrintRequest rq = Request(dlg, 1, 100);
        rq.RecordLayout = true;
        // Between pages the window keeps working, but cannot start a second print.
        TPrintOutcome nested = poNothing;
        QTimer::singleShot(0, [&] { nested = PrintReceiveView(rq).Outcome; });
        const TPrintResult r = PrintReceiveView(rq);
        QCOMPARE(r.Outcome, poTextPrinted);
        QCOMPARE(nested, poBusy);
        QCOMPARE(dlg.ShownCount(), 1);
        // One printed line each, straight below the one before, or at the top of
        // a new page when that one came too close to the bottom.
        QCOMPARE(r.Layout.size(), rq.Lines.size());
        const int lineHeight = QFontMetrics(font, &dlg.Printer()).height() + 2;
        const int pageHeight = dlg.Printer().height();
        for (std::size_t i = 0; i < r.Layout.size(); ++i) {
            const TPrintedLine& a = r.Layout[i - (i > 0)];
            const bool mustBreak = i > 0 && a.Y + a.Height > pageHeight - 2 * a.Height;
            QCOMPARE(r.Layout[i].Text, QString::fromStdString(rq.Lines[i]));
            QCOMPARE(r.Layout[i].Height, lineHeight);
            QCOMPARE(r.Layout[i].Page, a.Page + int(mustBreak));
            QCOMPARE(r.Layout[i].Y, i == 0 || mustBreak ? 0 : a.Y + a.Height);
        }
        QVERIFY(r.Pages > 1);
        QCOMPARE(PdfPageCount(out), r.Pages);
        QCOMPARE(dlg.Printer().pageLayout().orientation(), QPageLayout::Portrait);
        QVERIFY(platform::TakeBeeps().empty());
        // Exactly a page full: the break after its last line leaves no empty sheet.
        rq.Lines.resize(OnFirstPage(r.Layout));
        QCOMPARE(PrintReceiveView(rq).Pages, 1);
        QCOMPARE(PdfPageCount(out), 1);
        // A picture print turns the printer to landscape and beeps when done; a
        // text print after it leaves the orientation as it is: a shorter page.
        rq.Mode = 3;
        QCOMPARE(PrintReceiveView(rq).Outcome, poPicturePrinted);
        QVERIFY(platform::TakeBeeps() == std::vector<std::uint32_t>{0xFFFF});
        QCOMPARE(PdfPageCount(out), 1);
        rq.Mode = 0;
        QVERIFY(OnFirstPage(PrintReceiveView(rq).Layout) < int(rq.Lines.size()));
        QCOMPARE(dlg.Printer().pageLayout().orientation(), QPageLayout::Landscape);
    }

    void overlongLineContinuesOnNextLines() {
        QImage page(300, 200, QImage::Format_RGB32); // 208 characters take several lines
        TTextDevice dev(&page, [] { return true; });
        dev.SetRecording(true);
        dev.Open();
        dev.EndLine(); // an empty line is as high as the font
        const QString longLine = QString("ABCDEFGHIJKLMNOPQRSTUVWXYZ").repeated(8);
        dev.Write(longLine);
        dev.EndLine();
        dev.Write("next");
        dev.Close();
        const auto& out = dev.Lines();
        QCOMPARE(out.front().Height, dev.FontHeight());
        QCOMPARE(out.back().Text, QString("next"));
        QString joined;
        const QFontMetrics fm(dev.Font(), &page);
        for (std::size_t i = 1; i + 1 < out.size(); ++i) {
            joined += out[i].Text;
            QVERIFY(fm.horizontalAdvance(out[i].Text) <= dev.PageWidth());
            if (i + 2 < out.size()) // nothing wasted: one more character would not fit
                QVERIFY(fm.horizontalAdvance(out[i].Text + out[i + 1].Text[0]) > dev.PageWidth());
        }
        QCOMPARE(joined, longLine);

        QImage sliver(3, 4000, QImage::Format_RGB32); // narrower than a character: still ends
        TTextDevice thin(&sliver, [] { return true; });
        thin.SetRecording(true);
        thin.Open();
        thin.Write("abc");
        thin.Close();
        QCOMPARE(thin.Lines().size(), std::size_t(3));
    }

    void pictureToFileSavesTheNextBmp_unlessCancelled() {
        TFakePrintDialog dlg(dir->filePath("paper.pdf"));
        TPrintRequest rq = Request(dlg, 3);
        bool rendered = false; // a cancelled dialog: no picture, no file, no beep
        rq.RenderView = [&] { return rendered = true, TestPicture(); };
        for (std::uint8_t mode : {0, 1, 2}) // an empty view in a text mode: not even a dialog
            QCOMPARE(PrintReceiveView(Request(dlg, mode)).Outcome, poNothing);
        dlg.SetAnswer(false);
        QCOMPARE(PrintReceiveView(rq).Outcome, poCancelled);
        QCOMPARE(dlg.ShownCount(), 1);
        QVERIFY(!rendered && QDir(dir->path()).isEmpty() && platform::TakeBeeps().empty());
        dlg.SetAnswer(true);
        // The dialog proposes the next free BMP name; kept, it is the file written.
        dlg.SetPrintToFile(true);
        rq.Directory = dir->path();
        TPrintResult r = PrintReceiveView(rq);
        QCOMPARE(r.Outcome, poBitmapSaved);
        QCOMPARE(r.File, dir->filePath("ANSI100.bmp"));
        QImage saved;
        QVERIFY(saved.load(r.File, "BMP"));
        QCOMPARE(saved, TestPicture().convertToFormat(saved.format()));
        QVERIFY(platform::TakeBeeps().empty());
        PrintReceiveView(rq);
        QCOMPARE(dlg.Proposed(), QString());                  // taken by the dialog...
        QVERIFY(QFile::exists(dir->filePath("ANSI101.bmp"))); // ...the next free one
        // Another name: the file the user named, a PDF holding the picture on a
        // landscape page unless the name asks for a BMP.
        dlg.SetPrintToFile(true, dir->filePath("chosen.pdf"));
        r = PrintReceiveView(rq);
        QCOMPARE(r.Outcome, poPicturePrinted);
        QCOMPARE(PdfPageCount(dir->filePath("chosen.pdf")), 1);
        QCOMPARE(dlg.Printer().pageLayout().orientation(), QPageLayout::Landscape);
        QVERIFY(!QFile::exists(dir->filePath("ANSI102.bmp")));
        dlg.SetPrintToFile(true, dir->filePath("named.Bmp"));
        QCOMPARE(PrintReceiveView(rq).Outcome, poBitmapSaved);
        QVERIFY(saved.load(dir->filePath("named.Bmp"), "BMP"));
        QVERIFY(!QFile::exists(dir->filePath("ANSI102.bmp")));
        // A text print after it offers that name as a PDF, not as a BMP.
        dlg.SetPrintToFile(true);
        QCOMPARE(PrintReceiveView(Request(dlg, 1, 2)).Outcome, poTextPrinted);
        QCOMPARE(PdfPageCount(dir->filePath("named.pdf")), 1);
    }

    // The platform's dialog with no printer installed offers only a file: its
    // file field holds the proposed bitmap name.
    void systemDialogShowsTheProposedFile() {
        if (!QPrinterInfo::availablePrinterNames().isEmpty()) QSKIP("a printer is installed here");
        TSystemPrintDialog dlg;
        const QString proposed = dir->filePath("ANSI100.bmp");
        dlg.ProposeFileName(proposed);
        QString shown = "(no dialog)";
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget* w = QApplication::activeModalWidget();
            if (!w) return;
            poll.stop();
            if (auto* edit = w->findChild<QLineEdit*>("filename")) shown = edit->text();
            QMetaObject::invokeMethod(w, "reject", Qt::QueuedConnection);
        });
        poll.start(20);
        QVERIFY(!dlg.Execute());
        QCOMPARE(shown, proposed);
        QCOMPARE(dlg.FileName(), proposed);
    }

    // Devices that report no margins of their own (PDF) still get 10 mm all
    // round, for text and pictures alike; wider ones of a printer are kept.
    void atLeastTenMillimetreMargins() {
        TFakePrintDialog dlg(dir->filePath("paper.pdf"));
        const auto margins = [&dlg] {
            const QMarginsF m = dlg.Printer().pageLayout().margins(QPageLayout::Millimeter);
            return std::min({m.left(), m.top(), m.right(), m.bottom()});
        };
        QCOMPARE(PrintReceiveView(Request(dlg, 0, 3)).Outcome, poTextPrinted);
        QVERIFY2(margins() >= 9.99, qPrintable(QString::number(margins())));
        const QRect paint = dlg.Printer().pageLayout().paintRectPixels(dlg.Printer().resolution());
        QVERIFY2(
            paint.left() >= dlg.Printer().resolution() * 10 / 25.4 - 1,
            qPrintable(QString("%1 at %2 dpi").arg(paint.left()).arg(dlg.Printer().resolution())));
        dlg.Printer().setPageMargins(QMarginsF(15, 20, 15, 20), QPageLayout::Millimeter);
        QCOMPARE(PrintReceiveView(Request(dlg, 3)).Outcome, poPicturePrinted);
        const QMarginsF kept = dlg.Printer().pageLayout().margins(QPageLayout::Millimeter);
        QVERIFY(qAbs(kept.left() - 15) < 0.5 && qAbs(kept.top() - 20) < 0.5); // wider: kept
        QVERIFY(qAbs(kept.right() - 15) < 0.5 && qAbs(kept.bottom() - 20) < 0.5);
    }

    void bitmapNames_data() {
        QTest::addColumn<int>("channel");
        QTest::addColumn<QStringList>("present"); // "x@": a dangling link
        QTest::addColumn<QString>("expected");
        QStringList all;
        for (int i = 0; i <= 100; ++i)
            all << QString("ANSI10%1.bmp").arg(i);
        QTest::newRow("next free") << 1 << all.mid(0, 2) << "ANSI102.bmp";
        QTest::newRow("gap is used") << 1 << QStringList{"ANSI101.bmp"} << "ANSI100.bmp";
        QTest::newRow("channel 2") << 2 << all.mid(0, 2) << "ANSI200.bmp";
        QTest::newRow("dangling link") << 1 << QStringList{"ANSI100.bmp@"} << "ANSI101.bmp";
        QTest::newRow("last free") << 1 << all.mid(0, 100) << "ANSI10100.bmp";
        QTest::newRow("all taken") << 1 << all << "ANSI10";
    }

    void bitmapNames() {
        QFETCH(int, channel);
        QFETCH(QStringList, present);
        QFETCH(QString, expected);
        for (const QString& p : present)
            QVERIFY(p.endsWith('@') ? QFile::link("gone", dir->filePath(p.chopped(1)))
                                    : QFile(dir->filePath(p)).open(QIODevice::WriteOnly));
        QCOMPARE(NextBitmapName(dir->path(), channel), dir->filePath(expected));
    }

    void printSystemFailuresAreReported() {
        std::vector<std::string> reported;
        platform::SetErrorReporter([&](const std::string& m) { reported.push_back(m); });
        const auto reports = [&](const TPrintRequest& rq, const char* part) {
            reported.clear();
            platform::Guarded([&] { PrintReceiveView(rq); });
            QVERIFY2(reported.size() == 1 && QString::fromStdString(reported[0]).contains(part),
                     reported.empty() ? part : reported[0].c_str());
        };
        const QString blocker = dir->filePath("not-a-dir");
        QVERIFY(QFile(blocker).open(QIODevice::WriteOnly));
        TFakePrintDialog unwritable(blocker + "/paper.pdf"), none{QString()}, midJob{QString()};
        reports(Request(unwritable, 0, 5), "paper.pdf");
        reports(Request(none, 0, 5), "no printer");
        TFailingPrinter failing(dir->filePath("failing.pdf")); // stops after page 1
        midJob.SetPrinter(&failing);
        reports(Request(midJob, 0, 500), "page 2");
        QVERIFY(failing.printerState() != QPrinter::Active);
        QVERIFY(!QFile::exists(dir->filePath("failing.pdf"))); // no half-printed document left

        unwritable.SetPrintToFile(true); // the proposed bitmap name
        TPrintRequest rq = Request(unwritable, 3);
        rq.Directory = blocker; // bitmap into a directory that cannot be
        reports(rq, "ANSI100.bmp");
        QVERIFY(platform::TakeBeeps().empty());
    }
};

QTEST_MAIN(TPrintTest)
#include "tst_print.moc"
