// What the tag step does with TagLib's file objects: which fields and
// pictures a file has, in a form independent of its tag format, and the copy
// of a source's onto an output. Internal to export (tags.cpp) and its tests;
// tags.h is the interface the rest of the program sees.
#pragma once

#include <taglib/fileref.h>
#include <taglib/tbytevector.h>
#include <taglib/tfile.h>
#include <taglib/tiostream.h>
#include <taglib/tpropertymap.h>
#include <taglib/tstring.h>

#include <string>
#include <vector>

namespace pwtag {

// One picture, independent of the tag format that carries it. The type uses
// the ID3v2 numbering (0 other, 3 front cover, 4 back cover, ...), which FLAC,
// Ogg and ASF share; MP4 pictures have no type and read as front covers.
struct Picture {
  TagLib::String mime;
  TagLib::String description;
  int type = 3;
  TagLib::ByteVector data;
};

// The file behind stream, of the type its name's extension (then its
// content) tells, without audio properties; a null reference when TagLib
// knows no such type. Raw AAC (".aac", ".adts") is opened for its ID3v2 and APE tags. The
// stream must outlive the file.
TagLib::FileRef OpenTagFile(TagLib::IOStream* stream, const std::string& path);

// Whether the name's extension is one TagLib has a file type for: a file
// of such a type that OpenTagFile cannot open is damaged, not untagged.
bool KnownTagType(const std::string& path);

// Every picture of the file, in the order its tag keeps them.
std::vector<Picture> ReadPictures(TagLib::File* f);
// Replaces every picture of the file by pics; false when the format has no
// place for pictures.
bool WritePictures(TagLib::File* f, const std::vector<Picture>& pics);

// The file's text properties. For a WAV those of its ID3v2 tag, with what
// its RIFF INFO list has besides.
TagLib::PropertyMap ReadProperties(TagLib::File* f);
// Sets the file's text properties (a WAV's INFO list gets the common
// fields too); returns what the tag did not take.
TagLib::PropertyMap WriteProperties(TagLib::File* f, const TagLib::PropertyMap& props);

// Copies the song's text properties and pictures of from onto to, in
// memory: properties of from replace those of the same name on to, others
// of to stay; the pictures of from, when it has any, replace those of to.
// Fields that describe how from was encoded (the encoding program and its
// settings, encoder delay and gain notes) are not copied. False when from
// has nothing to copy; to is then unchanged.
bool CopyFields(TagLib::File* from, TagLib::File* to);

// Whether from has anything CopyFields would copy.
bool HasSongFields(TagLib::File* from);

// Whether CopyFields leaves the property key behind when copying from a file
// of from's kind onto one of to's kind.
bool IsEncodingField(const TagLib::String& key, TagLib::File* from, TagLib::File* to);

// Writes the tags into the file; an MPEG file keeps its ID3v1 and APE tags
// (updated) but gets none added, ID3v2 is written as version 2.4. False when
// TagLib refused.
bool SaveTagFile(TagLib::File* f);

}  // namespace pwtag
