// A byte stream rendered as a picture of a terminal view: what rxview's
// --format=png writes.
#pragma once

#include <QImage>

#include <string>

namespace emulvt {

// The view as the main window holds it (502 x 298 pixels, 25 x 80, cleared
// and passive), at the 12- or 9-point font, after every byte of input went
// through FeedChar. xlat is the view's Xlat. Creates an offscreen
// application when there is none.
QImage RenderAnsiImage(const std::string& input, bool xlat, int fontPoints);

// The same picture written as a PNG file; false with a message on failure.
bool RenderAnsiPng(const std::string& input, bool xlat, int fontPoints, const std::string& outFile,
                   std::string& error);

} // namespace emulvt
