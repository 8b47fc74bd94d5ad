#include "PrintDialog.h"

#include <QAbstractPrintDialog>
#include <QFileInfo>
#include <QPageRanges>
#include <QPrintDialog>
#include <QPrinterInfo>

TSystemPrintDialog::TSystemPrintDialog(QWidget* parent) : FParent(parent) {}

bool TSystemPrintDialog::Execute() {
    if (!FProposed.isEmpty()) {
        if (QPrinterInfo::availablePrinterNames().isEmpty() || !FPrinter.outputFileName().isEmpty())
            FPrinter.setOutputFileName(FProposed);
        // The dialog names its file after the document when the user turns
        // from a printer to a file.
        FPrinter.setDocName(QFileInfo(FProposed).completeBaseName());
        FProposed.clear();
    }
    QPrintDialog dlg(&FPrinter, FParent);
    dlg.setObjectName("PrintDialog");
    dlg.setOption(QAbstractPrintDialog::PrintToFile, true);
    dlg.setOption(QAbstractPrintDialog::PrintPageRange, true);
    const bool ok = dlg.exec() == QDialog::Accepted;
    // A page range chosen in the dialog is not used: every job prints whole,
    // and the print system must not drop pages on its own either.
    FPrinter.setPrintRange(QPrinter::AllPages);
    FPrinter.setPageRanges(QPageRanges());
    return ok;
}

bool TSystemPrintDialog::PrintToFile() const {
    return !FPrinter.outputFileName().isEmpty();
}

QString TSystemPrintDialog::FileName() const {
    return FPrinter.outputFileName();
}

TFakePrintDialog::TFakePrintDialog(const QString& printerOutput)
    : FPrinterOutput(printerOutput), FOwn(std::make_unique<QPrinter>(QPrinter::HighResolution)) {
    FOwn->setOutputFormat(QPrinter::PdfFormat);
    FOwn->setOutputFileName(printerOutput);
}

bool TFakePrintDialog::Execute() {
    ++FShown;
    if (!FAnswer) return false;
    FChosenToFile = FToFile;
    const QString file = FFile.isEmpty() ? FProposed : FFile;
    FChosenFile = FToFile ? file : QString();
    FProposed.clear();
    // Like the real dialog, print-to-file points the printer at the file.
    if (!FOther) FOwn->setOutputFileName(FToFile ? file : FPrinterOutput);
    return true;
}
