// What a picture is, told by its bytes alone, as a browser tells it: the one place where the program
// decides whether bytes are a picture (a downloaded reply, a file saved before, a picture put into a
// book), whatever a server's Content-Type or a file's name says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace BrintLib {

/// The kinds of picture that browsers decode. Unknown: the bytes seen so far start no picture but might
/// still, when more of them come (an SVG's preamble, a signature cut short).
enum class TPictureKind { None, Unknown, Jpeg, Png, Gif, WebP, Bmp, Ico, Avif, Svg };

/// A picture's first bytes that are enough to tell its kind, unless an SVG's preamble (declaration,
/// comments, doctype) is longer; kMaxPictureHead bounds that.
constexpr size_t kPictureHeadBytes = 512;
constexpr size_t kMaxPictureHead = 64 * 1024;
/// The last bytes of a picture that IsWholePicture looks at.
constexpr size_t kPictureTailBytes = 1024;

/// The kind of picture that Head, the first bytes of a body or file, starts. Unknown only while Head
/// could still become a picture with more bytes (and is shorter than kMaxPictureHead); the caller that
/// has no more bytes takes Unknown as None. SVG is markup whose first element is <svg>, after an optional
/// byte order mark, white space, XML declaration, comments and doctype.
TPictureKind PictureKindOf(std::string_view Head);

/// Whether a picture of Kind (a picture kind, not None or Unknown), Size bytes long, whose first bytes are
/// Head (16 of them are enough) and last bytes Tail (up to kPictureTailBytes; all of them when it is
/// shorter), ends as a whole file of its kind does, where its format makes that cheap to see: a JPEG's
/// end of image (FF D9), a PNG's IEND chunk or an SVG's closing tag among its last bytes, a GIF's trailer
/// as the last; a WebP's or BMP's size no larger than Size. ICO and AVIF count as whole.
bool IsWholePicture(TPictureKind Kind, std::string_view Head, std::string_view Tail, uint64_t Size);

/// "JPEG", "PNG", ..., for messages; "" for None and Unknown.
const char* PictureKindName(TPictureKind Kind);
/// The media type ("image/jpeg", "image/svg+xml", ...); "" for None and Unknown.
const char* PictureMediaType(TPictureKind Kind);
/// The usual file extension, without the dot ("jpg", "svg", ...); "" for None and Unknown.
const char* PictureExtension(TPictureKind Kind);

/// What came instead of a picture, told by Head, the first bytes of a body that is no picture, for
/// messages (windows-1251): "пришла страница HTML", "пришла страница XHTML", "пришёл документ XML",
/// "пришли данные JSON", "пришёл текст", "пришёл пустой ответ" or "пришли данные неизвестного вида".
std::string WhatCameInstead(std::string_view Head);

/// Whether the file at Path (a regular file, not followed through a link) is a whole picture: its kind told
/// by its first bytes and its end as IsWholePicture wants it. False when it cannot be read.
bool IsWholePictureFile(const std::string& Path);

} // namespace BrintLib
