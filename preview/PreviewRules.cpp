#include "preview/PreviewRules.h"

#include "common/Gbk.h"
#include "common/Utf8.h"

#include <cmath>
#include <cstdint>

namespace cpuconfig {

namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = lower(c);
    }
    return out;
}

// Length of a valid UTF-8 sequence at s[i], 0 when invalid, -1 when cut short by the end.
int utf8SequenceLength(std::string_view s, std::size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    int len = 0;
    char32_t min = 0;
    if (b < 0x80) {
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        len = 2;
        min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3;
        min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    char32_t cp = b & (0x7F >> len);
    for (int k = 1; k < len; ++k) {
        if (i + static_cast<std::size_t>(k) >= s.size()) {
            return -1;
        }
        const auto c = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
        if ((c & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return len;
}

// The valid UTF-8 prefix length; `cutAtLimit` forgives a sequence cut at the very end.
bool isUtf8(std::string_view s, bool cutAtLimit, std::size_t& usable) {
    std::size_t i = 0;
    while (i < s.size()) {
        const int len = utf8SequenceLength(s, i);
        if (len == -1 && cutAtLimit) {
            break;
        }
        if (len <= 0) {
            return false;
        }
        i += static_cast<std::size_t>(len);
    }
    usable = i;
    return true;
}

std::string decodeUtf16(std::string_view s, bool bigEndian) {
    std::string out;
    out.reserve(s.size());
    auto unit = [&](std::size_t i) -> char32_t {
        const auto a = static_cast<unsigned char>(s[i]);
        const auto b = static_cast<unsigned char>(s[i + 1]);
        return bigEndian ? static_cast<char32_t>((a << 8) | b)
                         : static_cast<char32_t>((b << 8) | a);
    };
    std::size_t i = 0;
    while (i + 1 < s.size()) {
        char32_t u = unit(i);
        i += 2;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 < s.size() && unit(i) >= 0xDC00 && unit(i) <= 0xDFFF) {
                u = 0x10000 + ((u - 0xD800) << 10) + (unit(i) - 0xDC00);
                i += 2;
            } else {
                u = 0xFFFD;
            }
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            u = 0xFFFD;
        }
        appendUtf8(out, u);
    }
    return out;
}

std::string replaceNuls(std::string s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == '\0') {
            out += "\xEF\xBF\xBD";
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

std::string currentExt(std::string_view path) {
    const auto lastSep = path.find_last_of("\\/:");
    const auto dot = path.rfind('.');
    if (dot == std::string_view::npos || (lastSep != std::string_view::npos && dot < lastSep)) {
        return {};
    }
    return lowered(path.substr(dot + 1));
}

std::vector<std::string> previewExtensions(const std::vector<std::string>& pictureFormats) {
    std::vector<std::string> list;
    for (const auto& format : pictureFormats) {
        std::string ext = lowered(format);
        if (!ext.empty() && !containsExtension(list, ext)) {
            list.push_back(std::move(ext));
        }
    }
    for (const char* ext : kTextExtensions) {
        list.emplace_back(ext);
    }
    list.emplace_back(kSoundExtension);
    return list;
}

bool containsExtension(const std::vector<std::string>& list, std::string_view ext) {
    const std::string wanted = lowered(ext);
    for (const auto& entry : list) {
        if (lowered(entry) == wanted) {
            return true;
        }
    }
    return false;
}

BuiltInKind builtInKind(std::string_view ext, const std::vector<std::string>& pictureFormats) {
    if (ext.empty()) {
        return BuiltInKind::None;
    }
    if (containsExtension(pictureFormats, ext)) {
        return BuiltInKind::Picture;
    }
    for (const char* text : kTextExtensions) {
        if (lowered(ext) == text) {
            return BuiltInKind::Text;
        }
    }
    if (lowered(ext) == kSoundExtension) {
        return BuiltInKind::Sound;
    }
    return BuiltInKind::None;
}

int centeredMessageBlankLines(int viewerHeight, int fontPixelHeight) {
    const int h = fontPixelHeight < 0 ? -fontPixelHeight : fontPixelHeight;
    if (h == 0) {
        return 0;
    }
    const int n = ((viewerHeight - 4) / h) / 2 - 1; // C++ division truncates toward zero
    return n > 0 ? n : 0;
}

int fontPixelHeight(double pointSize, double dotsPerInch) {
    return static_cast<int>(std::lround(pointSize * dotsPerInch / 72.0));
}

PicturePlacement placePicture(PictureSize picture, PictureSize control, bool scaleToFit) {
    const int bigW = picture.width;
    const int bigH = picture.height;
    const int w = control.width;
    const int h = control.height;
    const bool larger = bigW != 0 && (bigW > w || bigH > h);
    auto centred = [&](int pw, int ph) {
        return PicturePlacement{(w - pw) / 2, (h - ph) / 2, pw, ph, false};
    };
    if (!larger) {
        return centred(bigW, bigH);
    }
    if (!scaleToFit) {
        return PicturePlacement{0, 0, bigW, bigH, true};
    }
    if (bigH == 0) {
        // A picture with no height has no aspect ratio; nothing to draw.
        return centred(0, 0);
    }
    const double a = static_cast<double>(bigW) / static_cast<double>(bigH);
    int fitW = 0;
    int fitH = 0;
    if (bigW > bigH) {
        fitW = w;
        fitH = static_cast<int>(w / a);
        if (fitH > h) {
            fitH = h;
            fitW = static_cast<int>(h * a);
        }
    } else {
        fitH = h;
        fitW = static_cast<int>(h * a);
        if (fitW > w) {
            fitW = w;
            fitH = static_cast<int>(w / a);
        }
    }
    return centred(fitW, fitH);
}

PaneGeometry paneGeometry(PaneRect client, int placeholderRight) {
    PaneGeometry g;
    g.previewBox = {placeholderRight + 8, client.top + 33, client.right - 8, client.bottom - 8};
    g.captionStrip = {g.previewBox.left, client.top, g.previewBox.right, g.previewBox.top - 1};
    g.buttonTop = (g.captionStrip.height() - kPaneButtonSize) / 2;
    g.wordWrapButtonLeft = g.captionStrip.width() - kPaneButtonSize;
    return g;
}

std::string decodeTextFile(std::string_view bytes, bool cutAtLimit) {
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
    } else if (bytes.starts_with("\xFF\xFE")) {
        return replaceNuls(decodeUtf16(bytes.substr(2), false));
    } else if (bytes.starts_with("\xFE\xFF")) {
        return replaceNuls(decodeUtf16(bytes.substr(2), true));
    }
    std::size_t usable = 0;
    if (isUtf8(bytes, cutAtLimit, usable)) {
        return replaceNuls(std::string(bytes.substr(0, usable)));
    }
    if (cutAtLimit && !bytes.empty() && static_cast<unsigned char>(bytes.back()) >= 0x81) {
        // Possibly the lead byte of a GBK pair whose trail byte lies past the limit; count
        // how many high bytes end the text: an odd run ends in a lone lead byte.
        std::size_t run = 0;
        for (auto it = bytes.rbegin();
             it != bytes.rend() && static_cast<unsigned char>(*it) >= 0x81; ++it) {
            ++run;
        }
        if (run % 2 == 1) {
            bytes.remove_suffix(1);
        }
    }
    return replaceNuls(gbkToUtf8(bytes));
}

} // namespace cpuconfig
