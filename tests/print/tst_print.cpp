// Printing a receive view: the text device's layout on real paint devices
// (PDF writer, image), the print operation through the dialog seam, bitmap
// files in a real temporary directory, and print-system failures.
#include "Platform.h"
#include "ReceivePrint.h"

#include <QAbstractPrintDialog>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QLineEdit>
#include <QPageSize>
#include <QPdfWriter>
#include <QPrintDialog>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <stdexcept>

namespace {

// A receive view's HEX form: 20 bytes a line, "XX " each.
std::vector<std::string> HexLines(int n) {
    std::vector<std::string> lines;
    for (int i = 0; i < n; ++i) {
        std::string s;
        for (int b = 0; b < 20; ++b) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%02X ", (i * 20 + b) & 0xFF);
            s += buf;
        }
        lines.push_back(s);
    }
    return lines;
}

int PdfPageCount(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return -1;
    const QByteArray pdf = f.readAll();
    int n = 0;
    for (qsizetype at = pdf.indexOf("/Type /Page"); at >= 0;
         at = pdf.indexOf("/Type /Page", at + 1))
        if (pdf.mid(at + 11, 1) != "s") ++n;
    return n;
}

// Each printed line lies where the rule puts it: straight below the one
// before, or at the top of a new page when that one came too close to the bottom.
void CheckPageBreaks(const std::vector<TPrintedLine>& lines, int pageHeight) {
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const TPrintedLine& a = lines[i - 1];
        const TPrintedLine& b = lines[i];
        const int next = a.Y + a.Height;
        const bool mustBreak = next > pageHeight - 2 * a.Height;
        QVERIFY2(b.Page == a.Page + (mustBreak ? 1 : 0), qPrintable(QString("line %1").arg(i)));
        QCOMPARE(b.Y, mustBreak ? 0 : next);
    }
}

QImage TestPicture(int w = 502, int h = 298) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor(0, 0, 168));
    for (int x = 0; x < 40; ++x)
        for (int y = 0; y < 20; ++y)
            img.setPixel(x, y, qRgb(255, 255, 84));
    return img;
}

void Touch(const QString& path) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
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

private slots:
    void init() {
        tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(tmp->isValid());
        platform::TakeBeeps();
    }

    void hexLinesPrintOnePerLineWithPageBreaks() {
        const auto lines = HexLines(100);
        std::vector<TPrintedLine> out;
        int pages = 0, pageHeight = 0, fontHeight = 0;
        const auto print = [&](std::size_t n, const QString& pdf) {
            QPdfWriter writer(pdf);
            writer.setPageSize(QPageSize(QPageSize::A5));
            writer.setPageMargins(QMarginsF(0, 0, 0, 0));
            TTextDevice dev(&writer);
            dev.SetRecording(true);
            dev.Open();
            for (std::size_t i = 0; i < n; ++i) {
                dev.Write(FromCp1252(lines[i]));
                dev.EndLine();
            }
            dev.Close();
            QCOMPARE(dev.Font().family(), QString("Courier New"));
            QCOMPARE(dev.Font().pointSize(), 9);
            QVERIFY(QFontInfo(dev.Font()).fixedPitch());
            out = dev.Lines();
            pages = dev.Page();
            pageHeight = dev.PageHeight();
            fontHeight = dev.FontHeight();
        };
        print(lines.size(), dir.filePath("hex.pdf"));
        QCOMPARE(out.size(), lines.size());
        for (std::size_t i = 0; i < out.size(); ++i) {
            QCOMPARE(out[i].Text, QString::fromStdString(lines[i]));
            QCOMPARE(out[i].Height, fontHeight + 2);
        }
        QCOMPARE(out.front().Y, 0);
        CheckPageBreaks(out, pageHeight);
        QVERIFY(pages > 1);
        QCOMPARE(out.back().Page, pages);
        QCOMPARE(PdfPageCount(dir.filePath("hex.pdf")), pages);

        // Exactly a page full: the break after its last line leaves no empty sheet.
        const auto full =
            std::count_if(out.begin(), out.end(), [](auto& l) { return l.Page == 1; });
        print(std::size_t(full), dir.filePath("one.pdf"));
        QCOMPARE(PdfPageCount(dir.filePath("one.pdf")), 1);
    }

    void overlongLinesWrap_fromTheTopLeftCorner() {
        // A page 300 device units wide at 150 dpi: 200 characters need several lines.
        QImage page(300, 200, QImage::Format_RGB32);
        page.setDotsPerMeterX(5906);
        page.setDotsPerMeterY(5906);
        page.fill(Qt::white);
        int pages = 1;
        TTextDevice dev(&page, [&] { return ++pages; });
        dev.SetRecording(true);
        dev.Open();
        QString longLine;
        for (int i = 0; i < 200; ++i)
            longLine += QChar('A' + i % 26);
        dev.EndLine(); // an empty line is as high as the font
        dev.Write(longLine);
        dev.EndLine();
        dev.Write("next");
        dev.EndLine();
        dev.Close();
        QImage inked = page; // what the first page shows so far is checked below

        const auto& out = dev.Lines();
        QCOMPARE(out.front().Height, dev.FontHeight());
        QVERIFY(out.size() >= 5);
        QString joined;
        const QFontMetrics fm(dev.Font(), &page);
        for (std::size_t i = 1; i + 1 < out.size(); ++i) {
            joined += out[i].Text;
            QVERIFY(fm.horizontalAdvance(out[i].Text) <= dev.PageWidth());
            if (i + 2 < out.size()) // nothing wasted: one more character would not fit
                QVERIFY(fm.horizontalAdvance(out[i].Text + out[i + 1].Text[0]) > dev.PageWidth());
        }
        QCOMPARE(joined, longLine);
        QCOMPARE(out.back().Text, QString("next"));
        CheckPageBreaks(out, dev.PageHeight());
        QCOMPARE(out.back().Page, pages);

        // Ink starts right at the left edge, with no margin.
        int minX = 999;
        for (int y = 0; y < inked.height(); ++y)
            for (int x = 0; x < inked.width(); ++x)
                if (qGray(inked.pixel(x, y)) < 128) minX = std::min(minX, x);
        QVERIFY(minX < fm.horizontalAdvance('A'));

        // A page narrower than one character still ends, one character a line.
        QImage sliver(3, 4000, QImage::Format_RGB32);
        TTextDevice thin(&sliver, [] { return true; });
        thin.SetRecording(true);
        thin.Open();
        thin.Write("abc");
        thin.Close();
        QCOMPARE(thin.Lines().size(), std::size_t(3));
    }

    void emptyViewOrCancelledDialogDoesNothing() {
        const QString out = dir.filePath("paper.pdf");
        TFakePrintDialog dlg(out);
        TPrintRequest rq;
        rq.Dialog = &dlg;
        for (std::uint8_t mode : {0, 1, 2}) {
            rq.Mode = mode;
            QCOMPARE(PrintReceiveView(rq).Outcome, poNothing);
        }
        QCOMPARE(dlg.ShownCount(), 0);

        dlg.SetAnswer(false);
        rq.Lines = HexLines(3);
        QCOMPARE(PrintReceiveView(rq).Outcome, poCancelled);
        rq.Mode = 3;
        bool rendered = false;
        rq.RenderView = [&] {
            rendered = true;
            return TestPicture();
        };
        QCOMPARE(PrintReceiveView(rq).Outcome, poCancelled);
        QCOMPARE(dlg.ShownCount(), 2);
        QVERIFY(!rendered);
        QVERIFY(!QFile::exists(out));
        QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());
        QVERIFY(platform::TakeBeeps().empty());
    }

    void textPrintGoesToThePrinter_orientationLeftAsItIs() {
        const QString out = dir.filePath("paper.pdf");
        TFakePrintDialog dlg(out);
        TPrintRequest rq;
        rq.Dialog = &dlg;
        rq.Mode = 1;
        rq.Lines = HexLines(100);
        rq.RecordLayout = true;
        const TPrintResult r = PrintReceiveView(rq);
        QCOMPARE(r.Outcome, poTextPrinted);
        QCOMPARE(r.Layout.size(), std::size_t(100));
        QCOMPARE(r.Layout.back().Page, r.Pages);
        QCOMPARE(PdfPageCount(out), r.Pages);
        QCOMPARE(dlg.Printer().pageLayout().orientation(), QPageLayout::Portrait);
        QVERIFY(platform::TakeBeeps().empty());

        // A picture print turns the printer to landscape and beeps when done ...
        rq.Mode = 3;
        rq.RenderView = [] { return TestPicture(); };
        QCOMPARE(PrintReceiveView(rq).Outcome, poPicturePrinted);
        QVERIFY(platform::TakeBeeps() == std::vector<std::uint32_t>{0xFFFF});
        QCOMPARE(PdfPageCount(out), 1);
        // ... and a text print after it stays landscape: a shorter page.
        rq.Mode = 0;
        const TPrintResult land = PrintReceiveView(rq);
        QCOMPARE(dlg.Printer().pageLayout().orientation(), QPageLayout::Landscape);
        const auto onFirstPage = [](const TPrintResult& p) {
            return std::count_if(p.Layout.begin(), p.Layout.end(),
                                 [](const TPrintedLine& l) { return l.Page == 1; });
        };
        QVERIFY(onFirstPage(land) < onFirstPage(r));
    }

    void bitmapNames_data() {
        QTest::addColumn<int>("channel");
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QString>("expected");
        QTest::newRow("first") << 1 << QStringList{} << "ANSI100.bmp";
        QTest::newRow("next free")
            << 1 << QStringList{"ANSI100.bmp", "ANSI101.bmp"} << "ANSI102.bmp";
        QTest::newRow("gap is used") << 1 << QStringList{"ANSI101.bmp"} << "ANSI100.bmp";
        QTest::newRow("channel 2")
            << 2 << QStringList{"ANSI100.bmp", "ANSI101.bmp"} << "ANSI200.bmp";
        QTest::newRow("directory takes a name")
            << 1 << QStringList{"ANSI100.bmp/"} << "ANSI101.bmp";
        QStringList all;
        for (int i = 0; i <= 100; ++i)
            all << QString("ANSI10%1.bmp").arg(i);
        QTest::newRow("all taken") << 1 << all << "ANSI10";
        QTest::newRow("last free") << 1 << all.mid(0, 100) << "ANSI10100.bmp";
    }

    void bitmapNames() {
        QFETCH(int, channel);
        QFETCH(QStringList, present);
        QFETCH(QString, expected);
        QTemporaryDir here;
        for (const QString& p : present) {
            if (p.endsWith('/'))
                QVERIFY(QDir(here.path()).mkdir(p.chopped(1)));
            else
                Touch(here.filePath(p));
        }
        TFakePrintDialog dlg(dir.filePath("unused.pdf"));
        dlg.SetPrintToFile(true, dir.filePath("chosen.pdf"));
        TPrintRequest rq;
        rq.Channel = channel;
        rq.Mode = 3;
        rq.Dialog = &dlg;
        rq.Directory = here.path();
        rq.RenderView = [] { return TestPicture(); };
        const TPrintResult r = PrintReceiveView(rq);
        QCOMPARE(r.Outcome, poBitmapSaved);
        QCOMPARE(r.File, here.filePath(expected));
        QImage saved;
        QVERIFY(saved.load(r.File, "BMP"));
        QCOMPARE(saved.size(), QSize(502, 298));
        QCOMPARE(saved.pixel(5, 5), qRgb(255, 255, 84));
        QCOMPARE(saved.pixel(300, 200), qRgb(0, 0, 168));
        QVERIFY(!QFile::exists(dir.filePath("chosen.pdf"))); // the picture goes to the BMP only
        QVERIFY(platform::TakeBeeps().empty());
    }

    void printSystemFailuresAreReported() {
        std::vector<std::string> reported;
        platform::SetErrorReporter([&](const std::string& m) { reported.push_back(m); });
        const QString blocker = dir.filePath("not-a-dir");
        Touch(blocker);

        TFakePrintDialog dlg(blocker + "/paper.pdf"); // the job cannot be written
        TPrintRequest rq;
        rq.Dialog = &dlg;
        rq.Mode = 0;
        rq.Lines = HexLines(5);
        platform::Guarded([&] { PrintReceiveView(rq); });

        TFakePrintDialog none{QString()}; // no printer at all
        rq.Dialog = &none;
        platform::Guarded([&] { PrintReceiveView(rq); });

        TFailingPrinter failing(dir.filePath("failing.pdf")); // stops after page 1
        TFakePrintDialog midJob{QString()};
        midJob.SetPrinter(&failing);
        rq.Dialog = &midJob;
        rq.Lines = HexLines(500);
        platform::Guarded([&] { PrintReceiveView(rq); });
        QVERIFY(failing.printerState() != QPrinter::Active);
        QVERIFY(!QFile::exists(dir.filePath("failing.pdf"))); // no half-printed document left

        dlg.SetPrintToFile(true, dir.filePath("x.pdf")); // bitmap into a directory that cannot be
        rq.Dialog = &dlg;
        rq.Mode = 3;
        rq.Directory = blocker;
        rq.RenderView = [] { return TestPicture(); };
        platform::Guarded([&] { PrintReceiveView(rq); });

        rq.RenderView = [] { return QImage(); }; // no picture
        rq.Directory = dir.path();
        platform::Guarded([&] { PrintReceiveView(rq); });
        platform::SetErrorReporter(nullptr);

        QCOMPARE(reported.size(), std::size_t(5));
        QVERIFY2(QString::fromStdString(reported[0]).contains("paper.pdf"), reported[0].c_str());
        QVERIFY2(QString::fromStdString(reported[1]).contains("no printer"), reported[1].c_str());
        QVERIFY2(QString::fromStdString(reported[2]).contains("page 2"), reported[2].c_str());
        QVERIFY2(QString::fromStdString(reported[3]).contains("ANSI100.bmp"), reported[3].c_str());
        QVERIFY2(QString::fromStdString(reported[4]).contains("picture"), reported[4].c_str());
        QVERIFY(QDir(dir.path()).entryList({"ANSI*"}).isEmpty());
        QVERIFY(platform::TakeBeeps().empty());
    }

    void longJobKeepsTheEventLoopTurning_andRefusesANestedPrint() {
        TFakePrintDialog dlg(dir.filePath("long.pdf"));
        TPrintRequest rq;
        rq.Dialog = &dlg;
        rq.Mode = 1;
        rq.Lines = HexLines(400);
        bool fired = false;
        TPrintOutcome nested = poNothing;
        QTimer::singleShot(0, [&] {
            fired = true;
            nested = PrintReceiveView(rq).Outcome;
        });
        const TPrintResult r = PrintReceiveView(rq);
        QCOMPARE(r.Outcome, poTextPrinted);
        QVERIFY(r.Pages >= 3);
        QVERIFY(fired);
        QCOMPARE(nested, poBusy);
        QCOMPARE(dlg.ShownCount(), 1);
    }

    void systemDialogOffersPrintToFile() {
        // Answered from inside the dialog's own event loop; whatever is
        // missing, the dialog is closed, so the test cannot hang on it.
        TSystemPrintDialog real;
        const QString file = dir.filePath("chosen.pdf");
        bool toFileOption = false;
        for (const bool confirm : {false, true}) {
            QTimer::singleShot(0, [&] {
                auto* d = qobject_cast<QPrintDialog*>(QApplication::activeModalWidget());
                if (!d) return;
                toFileOption = d->testOption(QAbstractPrintDialog::PrintToFile);
                auto* printers = d->findChild<QComboBox*>("printers");
                auto* name = d->findChild<QLineEdit*>("filename");
                const int toFile = printers ? printers->findText("File", Qt::MatchContains) : -1;
                if (!confirm || !name || toFile < 0) return d->reject();
                printers->setCurrentIndex(toFile);
                name->setText(file);
                d->accept();
            });
            QCOMPARE(real.Execute(), confirm);
            QVERIFY(toFileOption);
        }
        QVERIFY(real.PrintToFile());
        QCOMPARE(real.FileName(), file);
    }

private:
    // A fresh directory for every test.
    struct TDir {
        TPrintTest* t;
        QString filePath(const QString& name) const { return t->tmp->filePath(name); }
        QString path() const { return t->tmp->path(); }
    };
    std::unique_ptr<QTemporaryDir> tmp;
    TDir dir{this};
};

QTEST_MAIN(TPrintTest)
#include "tst_print.moc"
