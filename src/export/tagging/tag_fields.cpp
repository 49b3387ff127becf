#include "export/tagging/tag_fields.h"

#include <taglib/aifffile.h>
#include <taglib/apefile.h>
#include <taglib/apeitem.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
#include <taglib/asfpicture.h>
#include <taglib/asftag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4coverart.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpcfile.h>
#include <taglib/mpegfile.h>
#include <taglib/wavfile.h>
#include <taglib/wavpackfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace pwtag {

using TagLib::ByteVector;
using TagLib::PropertyMap;
using TagLib::String;
using TagLib::StringList;

namespace {

// ---------------------------------------------------------------- pictures


constexpr int kFrontCover = 3;
constexpr int kBackCover = 4;
constexpr int kMaxPictureType = 20;

String SniffMime(const ByteVector& d) {
  if (d.startsWith(ByteVector("\xFF\xD8\xFF", 3))) return "image/jpeg";
  if (d.startsWith(ByteVector("\x89PNG", 4))) return "image/png";
  if (d.startsWith("GIF8")) return "image/gif";
  if (d.startsWith("BM")) return "image/bmp";
  return String();
}

int ClampType(int type) { return type >= 0 && type <= kMaxPictureType ? type : 0; }

// APE keeps pictures in binary items named after their type; the value is a
// file name, a zero byte and the picture.
bool IsApeCoverKey(const String& key) { return key.upper().startsWith("COVER ART ("); }

String ApeCoverKey(int type) {
  if (type == kFrontCover) return "Cover Art (Front)";
  if (type == kBackCover) return "Cover Art (Back)";
  return "Cover Art (Other)";
}

int ApeCoverType(const String& key) {
  const String k = key.upper();
  if (k == "COVER ART (FRONT)") return kFrontCover;
  if (k == "COVER ART (BACK)") return kBackCover;
  return 0;
}

void ReadId3(const TagLib::ID3v2::Tag* tag, std::vector<Picture>& out) {
  if (!tag) return;
  const TagLib::ID3v2::FrameList& frames = tag->frameListMap()["APIC"];
  for (TagLib::ID3v2::Frame* f : frames) {
    auto* apic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(f);
    if (!apic || apic->picture().isEmpty()) continue;
    out.push_back({apic->mimeType(), apic->description(), ClampType(int(apic->type())), apic->picture()});
  }
}

void WriteId3(TagLib::ID3v2::Tag* tag, const std::vector<Picture>& pics) {
  tag->removeFrames("APIC");
  for (const Picture& p : pics) {
    auto* apic = new TagLib::ID3v2::AttachedPictureFrame;
    apic->setMimeType(p.mime);
    apic->setDescription(p.description);
    apic->setType(TagLib::ID3v2::AttachedPictureFrame::Type(p.type));
    apic->setPicture(p.data);
    tag->addFrame(apic);
  }
}

void ReadApe(const TagLib::APE::Tag* tag, std::vector<Picture>& out) {
  if (!tag) return;
  for (const auto& entry : tag->itemListMap()) {
    const TagLib::APE::Item& item = entry.second;
    if (!IsApeCoverKey(entry.first) || item.type() != TagLib::APE::Item::Binary) continue;
    const ByteVector value = item.binaryData();
    const int zero = value.find(ByteVector(1, '\0'));
    const ByteVector data = zero < 0 ? value : value.mid(unsigned(zero) + 1);
    if (data.isEmpty()) continue;
    const String name = zero < 0 ? String() : String(value.mid(0, unsigned(zero)), String::UTF8);
    out.push_back({SniffMime(data), name, ApeCoverType(entry.first), data});
  }
}

// The item's file name: the description, given the picture's extension when
// it has none (readers use it to tell the picture's format).
String ApeFileName(const Picture& p) {
  const String mime = p.mime.isEmpty() ? SniffMime(p.data) : p.mime;
  String ext = ".jpg";
  if (mime == "image/png") ext = ".png";
  if (mime == "image/gif") ext = ".gif";
  if (mime == "image/bmp") ext = ".bmp";
  if (p.description.isEmpty()) return "cover" + ext;
  const std::string d = p.description.to8Bit(true);
  const size_t dot = d.find_last_of('.');
  if (dot != std::string::npos && d.size() - dot >= 4 && d.size() - dot <= 5) return p.description;
  return p.description + ext;
}

void WriteApe(TagLib::APE::Tag* tag, const std::vector<Picture>& pics) {
  StringList old;
  for (const auto& entry : tag->itemListMap())
    if (IsApeCoverKey(entry.first)) old.append(entry.first);
  for (const String& key : old) tag->removeItem(key);
  // One item per key: a later picture of an already used type is left out.
  for (const Picture& p : pics) {
    const String key = ApeCoverKey(p.type);
    if (tag->itemListMap().contains(key.upper())) continue;
    ByteVector value = ApeFileName(p).data(String::UTF8);
    value.append('\0');
    value.append(p.data);
    tag->setItem(key, TagLib::APE::Item(key, value, true));
  }
}

TagLib::FLAC::Picture* NewFlacPicture(const Picture& p) {
  auto* pic = new TagLib::FLAC::Picture;
  pic->setType(TagLib::FLAC::Picture::Type(p.type));
  pic->setMimeType(p.mime);
  pic->setDescription(p.description);
  pic->setData(p.data);
  return pic;
}

void ReadFlacList(const TagLib::List<TagLib::FLAC::Picture*>& list, std::vector<Picture>& out) {
  for (const TagLib::FLAC::Picture* pic : list)
    if (pic && !pic->data().isEmpty())
      out.push_back({pic->mimeType(), pic->description(), ClampType(int(pic->type())), pic->data()});
}

String LowerAscii(const String& s) {
  std::string bytes = s.to8Bit(true);
  std::transform(bytes.begin(), bytes.end(), bytes.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return String(bytes, String::UTF8);
}

// From the MIME type, else from the data.
TagLib::MP4::CoverArt::Format Mp4Format(const Picture& p) {
  for (const String& mime : {LowerAscii(p.mime), SniffMime(p.data)}) {
    if (mime == "image/jpeg" || mime == "image/jpg") return TagLib::MP4::CoverArt::JPEG;
    if (mime == "image/png") return TagLib::MP4::CoverArt::PNG;
    if (mime == "image/gif") return TagLib::MP4::CoverArt::GIF;
    if (mime == "image/bmp") return TagLib::MP4::CoverArt::BMP;
  }
  return TagLib::MP4::CoverArt::Unknown;
}

String Mp4Mime(const TagLib::MP4::CoverArt& art) {
  switch (art.format()) {
    case TagLib::MP4::CoverArt::JPEG: return "image/jpeg";
    case TagLib::MP4::CoverArt::PNG: return "image/png";
    case TagLib::MP4::CoverArt::GIF: return "image/gif";
    case TagLib::MP4::CoverArt::BMP: return "image/bmp";
    default: return SniffMime(art.data());
  }
}

constexpr const char* kAsfPictureName = "WM/Picture";

TagLib::Ogg::XiphComment* OggComment(TagLib::File* f) {
  // Ogg files (Vorbis, Opus, Speex, Ogg FLAC) expose their Xiph comment as the tag.
  return dynamic_cast<TagLib::Ogg::XiphComment*>(f->tag());
}

// A WAV also gets the common fields in its INFO list, which has no place for
// the others or for pictures. TagLib writes INFO text as UTF-8, as ffmpeg
// does, which reads WAV text from INFO only.
void WriteInfo(TagLib::RIFF::Info::Tag* info, const TagLib::Tag* from) {
  info->setTitle(from->title());
  info->setArtist(from->artist());
  info->setAlbum(from->album());
  info->setComment(from->comment());
  info->setGenre(from->genre());
  info->setYear(from->year());
  info->setTrack(from->track());
}

bool IsXiph(TagLib::File* f) {
  return f && (dynamic_cast<TagLib::FLAC::File*>(f) != nullptr || OggComment(f) != nullptr);
}

// Fields that describe how the source was encoded rather than the song: the
// encoding program (ID3 TSSE and MP4 \251too arrive as ENCODING and
// ENCODEDBY, Xiph comments say ENCODER), its settings, and the encoder
// delay, padding and loudness notes of iTunes (freeform MP4 atoms, which
// TagLib names after the atom). Copied, they would name a program that did
// not make the output and misdescribe its audio.
const char* const kEncodingFields[] = {"ENCODER",          "ENCODING",       "ENCODER_OPTIONS", "ENCODEROPTIONS",
                                      "ENCODERSETTINGS",  "ENCODER SETTINGS", "ENCODINGSETTINGS", "ITUNSMPB",
                                      "ITUNNORM",         "ITUNPGAP",       "GAPLESSPLAYBACK"};

bool IsMp4(TagLib::File* f) { return dynamic_cast<TagLib::MP4::File*>(f) != nullptr; }

bool HasCommonFields(const TagLib::Tag* t) {
  return t && (!t->title().isEmpty() || !t->artist().isEmpty() || !t->album().isEmpty() ||
               !t->comment().isEmpty() || !t->genre().isEmpty() || t->year() != 0 || t->track() != 0);
}

void CopyCommonFields(const TagLib::Tag* from, TagLib::Tag* to) {
  if (!from || !to) return;
  if (to->title().isEmpty() && !from->title().isEmpty()) to->setTitle(from->title());
  if (to->artist().isEmpty() && !from->artist().isEmpty()) to->setArtist(from->artist());
  if (to->album().isEmpty() && !from->album().isEmpty()) to->setAlbum(from->album());
  if (to->comment().isEmpty() && !from->comment().isEmpty()) to->setComment(from->comment());
  if (to->genre().isEmpty() && !from->genre().isEmpty()) to->setGenre(from->genre());
  if (to->year() == 0 && from->year() != 0) to->setYear(from->year());
  if (to->track() == 0 && from->track() != 0) to->setTrack(from->track());
}

}  // namespace

// Every picture of the file, in the order its tag keeps them.
std::vector<Picture> ReadPictures(TagLib::File* f) {
  std::vector<Picture> out;
  if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(f)) {
    if (mpeg->hasID3v2Tag()) ReadId3(mpeg->ID3v2Tag(), out);
    if (out.empty() && mpeg->hasAPETag()) ReadApe(mpeg->APETag(), out);
  } else if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(f)) {
    ReadId3(wav->ID3v2Tag(), out);
  } else if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(f)) {
    ReadId3(aiff->tag(), out);
  } else if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(f)) {
    ReadFlacList(flac->pictureList(), out);
    if (out.empty() && flac->hasXiphComment()) ReadFlacList(flac->xiphComment()->pictureList(), out);
    if (out.empty() && flac->hasID3v2Tag()) ReadId3(flac->ID3v2Tag(), out);
  } else if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(f)) {
    if (mp4->tag() && mp4->tag()->contains("covr")) {
      for (const TagLib::MP4::CoverArt& art : mp4->tag()->item("covr").toCoverArtList())
        if (!art.data().isEmpty()) out.push_back({Mp4Mime(art), String(), kFrontCover, art.data()});
    }
  } else if (auto* asf = dynamic_cast<TagLib::ASF::File*>(f)) {
    if (asf->tag()) {
      for (const TagLib::ASF::Attribute& a : asf->tag()->attribute(kAsfPictureName)) {
        const TagLib::ASF::Picture pic = a.toPicture();
        if (pic.isValid() && !pic.picture().isEmpty())
          out.push_back({pic.mimeType(), pic.description(), ClampType(int(pic.type())), pic.picture()});
      }
    }
  } else if (auto* ape = dynamic_cast<TagLib::APE::File*>(f)) {
    ReadApe(ape->APETag(), out);
  } else if (auto* wv = dynamic_cast<TagLib::WavPack::File*>(f)) {
    ReadApe(wv->APETag(), out);
  } else if (auto* mpc = dynamic_cast<TagLib::MPC::File*>(f)) {
    ReadApe(mpc->APETag(), out);
  } else if (auto* xiph = OggComment(f)) {
    ReadFlacList(xiph->pictureList(), out);
  }
  for (Picture& p : out)
    if (p.mime.isEmpty()) p.mime = SniffMime(p.data);
  return out;
}

// Replaces every picture of the file by pics; false when the format has no
// place for pictures.
bool WritePictures(TagLib::File* f, const std::vector<Picture>& pics) {
  if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(f)) {
    WriteId3(mpeg->ID3v2Tag(true), pics);
    if (mpeg->hasAPETag()) WriteApe(mpeg->APETag(), {});
  } else if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(f)) {
    WriteId3(wav->ID3v2Tag(), pics);
  } else if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(f)) {
    WriteId3(aiff->tag(), pics);
  } else if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(f)) {
    flac->removePictures();
    if (flac->hasXiphComment()) flac->xiphComment()->removeAllPictures();
    for (const Picture& p : pics) flac->addPicture(NewFlacPicture(p));
  } else if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(f)) {
    if (!mp4->tag()) return false;
    TagLib::MP4::CoverArtList list;
    for (const Picture& p : pics) list.append(TagLib::MP4::CoverArt(Mp4Format(p), p.data));
    if (list.isEmpty())
      mp4->tag()->removeItem("covr");
    else
      mp4->tag()->setItem("covr", list);
  } else if (auto* asf = dynamic_cast<TagLib::ASF::File*>(f)) {
    if (!asf->tag()) return false;
    asf->tag()->removeItem(kAsfPictureName);
    for (const Picture& p : pics) {
      TagLib::ASF::Picture pic;
      pic.setMimeType(p.mime);
      pic.setType(TagLib::ASF::Picture::Type(p.type));
      pic.setDescription(p.description);
      pic.setPicture(p.data);
      asf->tag()->addAttribute(kAsfPictureName, TagLib::ASF::Attribute(pic));
    }
  } else if (auto* ape = dynamic_cast<TagLib::APE::File*>(f)) {
    WriteApe(ape->APETag(true), pics);
  } else if (auto* wv = dynamic_cast<TagLib::WavPack::File*>(f)) {
    WriteApe(wv->APETag(true), pics);
  } else if (auto* mpc = dynamic_cast<TagLib::MPC::File*>(f)) {
    WriteApe(mpc->APETag(true), pics);
  } else if (auto* xiph = OggComment(f)) {
    xiph->removeAllPictures();
    for (const Picture& p : pics) xiph->addPicture(NewFlacPicture(p));
  } else {
    return false;
  }
  return true;
}

// -------------------------------------------------------------- properties

// The file's text properties. WAV keeps them in an ID3v2 tag and in RIFF
// INFO; TagLib's file-level map of a WAV holds only the common fields, so the
// full ID3v2 map is read and INFO fills what it lacks.
PropertyMap ReadProperties(TagLib::File* f) {
  if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(f)) {
    PropertyMap props = wav->ID3v2Tag()->properties();
    const PropertyMap info = wav->InfoTag()->properties();
    for (const auto& entry : info)
      if (!props.contains(entry.first)) props.insert(entry.first, entry.second);
    return props;
  }
  return f->properties();
}

// Sets the file's text properties; for a WAV those of its ID3v2 tag (the
// caller brings INFO up to date). Returns what the tag did not take.
PropertyMap WriteProperties(TagLib::File* f, const PropertyMap& props) {
  if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(f)) {
    PropertyMap rejected = wav->ID3v2Tag()->setProperties(props);
    WriteInfo(wav->InfoTag(), wav->ID3v2Tag());
    return rejected;
  }
  return f->setProperties(props);
}

bool IsEncodingField(const String& key, TagLib::File* from, TagLib::File* to) {
  const String k = key.upper();
  for (const char* name : kEncodingFields)
    if (k == name) return true;
  // MP4 has no "encoded by" of its own: TagLib maps ENCODEDBY to \251too,
  // the encoding program. From an MP4 it names the source's encoder; into
  // one it would claim a program made the output. Elsewhere (ID3 TENC, a
  // Xiph ENCODEDBY) it is the person who encoded the song and travels.
  return k == "ENCODEDBY" && (IsMp4(from) || IsMp4(to));
}

namespace {

// The properties of from that travel to a file of to's kind.
PropertyMap SongProperties(TagLib::File* from, TagLib::File* to) {
  PropertyMap props = ReadProperties(from);
  StringList dropped;
  for (const auto& entry : props)
    if (IsEncodingField(entry.first, from, to)) dropped.append(entry.first);
  for (const String& key : dropped) props.erase(key);
  // Xiph comments commonly hold the comment as DESCRIPTION, which TagLib
  // reads as the comment; elsewhere that name means something else.
  if (IsXiph(from) && !IsXiph(to) && !props.contains("COMMENT") && props.contains("DESCRIPTION")) {
    props.insert("COMMENT", props["DESCRIPTION"]);
    props.erase("DESCRIPTION");
  }
  return props;
}

}  // namespace

bool HasSongFields(TagLib::File* from) {
  return !SongProperties(from, nullptr).isEmpty() || !ReadPictures(from).empty() || HasCommonFields(from->tag());
}

bool CopyFields(TagLib::File* from, TagLib::File* to) {
  const PropertyMap props = SongProperties(from, to);
  const std::vector<Picture> pictures = ReadPictures(from);
  if (props.isEmpty() && pictures.empty() && !HasCommonFields(from->tag())) return false;

  PropertyMap merged = ReadProperties(to);
  for (const auto& entry : props) merged.replace(entry.first, entry.second);
  WriteProperties(to, merged);
  // Formats whose property map misses a common field (or keeps it under a
  // name the destination does not know) still carry it through the common
  // interface.
  CopyCommonFields(from->tag(), to->tag());
  if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(to)) WriteInfo(wav->InfoTag(), wav->ID3v2Tag());
  if (!pictures.empty()) WritePictures(to, pictures);
  return true;
}

namespace {

std::string UpperExtension(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  std::string ext;
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::toupper(c)); });
  return ext;
}

}  // namespace

TagLib::FileRef OpenTagFile(TagLib::IOStream* stream, const std::string& path) {
  // TagLib has no type for raw AAC; its tags are the MPEG ones (ID3v2 in
  // front, APE or ID3v1 at the end), so the MPEG file class reads them.
  const std::string ext = UpperExtension(path);
  if (ext == "AAC" || ext == "ADTS")
    return TagLib::FileRef(new TagLib::MPEG::File(stream, TagLib::ID3v2::FrameFactory::instance(), false));
  return TagLib::FileRef(stream, false);
}

bool KnownTagType(const std::string& path) {
  const std::string ext = UpperExtension(path);
  if (ext == "AAC" || ext == "ADTS") return true;
  for (const String& known : TagLib::FileRef::defaultFileExtensions())
    if (known.upper() == String(ext, String::UTF8)) return true;
  return false;
}

bool SaveTagFile(TagLib::File* f) {
  if (f->readOnly()) return false;
  if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(f)) {
    // Keep the tag types the file already has; add ID3v2 only.
    int tags = TagLib::MPEG::File::ID3v2;
    if (mpeg->hasID3v1Tag()) tags |= TagLib::MPEG::File::ID3v1;
    if (mpeg->hasAPETag()) tags |= TagLib::MPEG::File::APE;
    return mpeg->save(tags, TagLib::File::StripNone, TagLib::ID3v2::v4, TagLib::File::DoNotDuplicate);
  }
  return f->save();
}


}  // namespace pwtag
