// Printing a channel's receive view, the whole "Print" button in one call:
// the text display modes print the memo's lines on the printer as text; the
// ANSI mode prints a picture of the terminal view on a landscape page or,
// when print-to-file is chosen, saves it as a numbered BMP file.
#pragma once

#include "PrintDialog.h"
#include "TextDevice.h"

#include <QImage>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct TPrintRequest {
    int Channel = 1;       // 1 or 2 (chooses "ANSI10" or "ANSI20" for bitmap files)
    std::uint8_t Mode = 0; // 0 ASCII, 1 HEX, 2 both, 3 ANSI
    // The memo's lines, Windows-1252 bytes each (text modes). A copy taken
    // at the click: the window keeps working while the job prints.
    std::vector<std::string> Lines;
    // ANSI mode: the terminal view's picture, rendered offscreen at the
    // view's size. Called after the dialog has closed.
    std::function<QImage()> RenderView;
    TPrintDialog* Dialog = nullptr;
    QString Directory;         // where bitmap files go; empty = the current directory
    bool RecordLayout = false; // keep the printed lines in the result (tests)
};

enum TPrintOutcome : std::uint8_t {
    poNothing,        // an empty view in a text mode: no dialog
    poCancelled,      // the dialog was cancelled
    poBusy,           // a print of the window is already under way
    poTextPrinted,    // the lines went to the printer (or its file)
    poPicturePrinted, // the picture went to the printer (or its file)
    poBitmapSaved     // the picture was saved as a BMP file
};

struct TPrintResult {
    TPrintOutcome Outcome = poNothing;
    int Pages = 0;                    // pages of a text job
    QString File;                     // the bitmap file written
    std::vector<TPrintedLine> Layout; // with RecordLayout
};

// Runs the print. Failures of the print system (no printer, a job that
// cannot start or fails midway, a bitmap that cannot be written) throw
// std::runtime_error with a message for the error report; a job that
// failed is aborted, not completed.
TPrintResult PrintReceiveView(const TPrintRequest& request);

// The bitmap file the next picture save of a channel writes in dir:
// the first free name of ANSI<c>00.bmp .. ANSI<c>0100.bmp, else "ANSI<c>0".
QString NextBitmapName(const QString& dir, int channel);

// The memo's bytes as text, by the Windows-1252 code page.
QString FromCp1252(const std::string& bytes);
