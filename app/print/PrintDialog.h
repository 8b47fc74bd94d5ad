// The print dialog behind a seam: the window asks it whether to print and
// whether the output goes to a file; the printer it holds is the application's
// one printer, so settings such as the orientation carry over between jobs.
#pragma once

#include <QPrinter>
#include <QString>

#include <memory>

class QWidget;

class TPrintDialog {
public:
    virtual ~TPrintDialog() = default;
    // Shows the dialog; true when the user confirmed it.
    virtual bool Execute() = 0;
    // Whether print-to-file was chosen in the last confirmed dialog, and the file.
    virtual bool PrintToFile() const = 0;
    virtual QString FileName() const = 0;
    virtual QPrinter& Printer() = 0;
    // The output file the next Execute offers in its file field (empty: none).
    virtual void ProposeFileName(const QString& path) = 0;
};

// The platform's print dialog over a QPrinter. Printing to a file (PDF) is
// always offered, so it works with no printer installed.
class TSystemPrintDialog : public TPrintDialog {
public:
    explicit TSystemPrintDialog(QWidget* parent = nullptr);
    bool Execute() override;
    bool PrintToFile() const override;
    QString FileName() const override;
    QPrinter& Printer() override { return FPrinter; }
    // Filled in when the output goes to a file anyway: no printer is
    // installed, or the last job went to a file. A printer stays chosen.
    void ProposeFileName(const QString& path) override { FProposed = path; }

private:
    QWidget* FParent;
    QPrinter FPrinter{QPrinter::HighResolution};
    QString FProposed;
};

// Answers like a user would, for tests: OK or cancel, with or without
// print-to-file, keeping the proposed file name or typing another. Without
// print-to-file its printer writes the pages to printerOutput (a PDF file
// standing in for paper), unless a printer of the test's own is given.
class TFakePrintDialog : public TPrintDialog {
public:
    explicit TFakePrintDialog(const QString& printerOutput);
    void SetAnswer(bool ok) { FAnswer = ok; }
    // An empty file keeps the name the dialog proposed.
    void SetPrintToFile(bool toFile, const QString& file = {}) {
        FToFile = toFile;
        FFile = file;
    }
    void SetPrinter(QPrinter* printer) { FOther = printer; }
    int ShownCount() const { return FShown; }

    bool Execute() override;
    bool PrintToFile() const override { return FChosenToFile; }
    QString FileName() const override { return FChosenFile; }
    QPrinter& Printer() override { return FOther ? *FOther : *FOwn; }
    void ProposeFileName(const QString& path) override { FProposed = path; }
    QString Proposed() const { return FProposed; }

private:
    QString FPrinterOutput;
    std::unique_ptr<QPrinter> FOwn;
    QPrinter* FOther = nullptr;
    bool FAnswer = true;
    bool FToFile = false;
    bool FChosenToFile = false;
    QString FFile;
    QString FProposed;
    QString FChosenFile;
    int FShown = 0;
};
