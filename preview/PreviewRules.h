// The preview pane's decisions that need no widget: which kind of preview a file gets,
// where a picture goes, how many blank lines centre a message, where the pane's parts sit,
// and how a text file's bytes become the viewer's text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace cpuconfig {

// The extension of a path: after the last "." that follows the last "\", "/" or ":",
// ASCII letters lowered; empty when there is none.
std::string currentExt(std::string_view path);

// The text and sound kinds that follow the picture formats in the built-in list.
inline constexpr const char* kTextExtensions[] = {"txt", "ini", "inf", "bat", "log",
                                                  "pas", "dpr", "dpk", "rtf"};
inline constexpr const char* kSoundExtension = "wav";

// The built-in previewable extensions: the picture formats (lowered, duplicates dropped,
// order kept), then txt, ini, inf, bat, log, pas, dpr, dpk, rtf and wav.
std::vector<std::string> previewExtensions(const std::vector<std::string>& pictureFormats);

// True when list holds ext, ASCII letter case ignored.
bool containsExtension(const std::vector<std::string>& list, std::string_view ext);

enum class BuiltInKind { None, Picture, Text, Sound };
// How a built-in extension is previewed; pictures are tried first, so a picture format
// named like a text extension is a picture.
BuiltInKind builtInKind(std::string_view ext, const std::vector<std::string>& pictureFormats);

// Blank lines above a one-line message so that it sits in the middle of a viewer of the
// given height: ((height - 4) / |font pixel height|) / 2 - 1, at least 0. A font of no
// height gives none.
int centeredMessageBlankLines(int viewerHeight, int fontPixelHeight);

// A font's pixel height from its point size at the screen's dots per inch, rounded.
int fontPixelHeight(double pointSize, double dotsPerInch);

struct PictureSize {
    int width = 0;
    int height = 0;
    friend bool operator==(const PictureSize&, const PictureSize&) = default;
};

struct PicturePlacement {
    int x = 0; // where the picture is drawn inside the control
    int y = 0;
    int width = 0; // the size it is drawn at
    int height = 0;
    // The control takes the picture's natural size and the container scrolls.
    bool controlTakesPictureSize = false;
    friend bool operator==(const PicturePlacement&, const PicturePlacement&) = default;
};

// Where a picture of natural size `picture` goes in a control of size `control`. With
// scaleToFit a larger picture is reduced, keeping its aspect ratio, to the largest size
// that fits, and centred; a picture is never enlarged. Without it a larger picture keeps
// its size at the top left and the control grows to it; a smaller one is centred.
PicturePlacement placePicture(PictureSize picture, PictureSize control, bool scaleToFit);

struct PaneRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    friend bool operator==(const PaneRect&, const PaneRect&) = default;
};

struct PaneGeometry {
    PaneRect previewBox;   // the scrolling container
    PaneRect captionStrip; // the strip above it, up to one pixel above the container
    int buttonTop = 0;     // of both 22 x 22 buttons inside the strip
    int wordWrapButtonLeft = 0;
};
inline constexpr int kPaneButtonSize = 22;

// The pane's parts in the client coordinates of the area that hosts it, whose standard
// controls end at placeholderRight.
PaneGeometry paneGeometry(PaneRect client, int placeholderRight);

// The most of a text file the viewer is given; more would freeze the dialog.
inline constexpr std::size_t kTextPreviewLimit = std::size_t{1} << 20;
// The most of a rich-text document the viewer is given, as the reader counts it: some
// pages of text, which the viewer builds and lays out in well under the 0.3 s a
// selection may take.
inline constexpr std::size_t kRichTextShownLimit = std::size_t{128} << 10;

// The viewer's text for a text file's first bytes, as UTF-8: UTF-8 (with or without a
// byte-order mark) and UTF-16 with a byte-order mark as they are, anything else as GBK,
// the code page the cards' texts and the technicians' files are in. A character cut at
// the end by the size limit is dropped; NUL bytes become U+FFFD.
std::string decodeTextFile(std::string_view bytes, bool cutAtLimit);

} // namespace cpuconfig
