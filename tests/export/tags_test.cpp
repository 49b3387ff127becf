// Tag transfer through the tag library. From each input format (files made
// with ffmpeg, tagged by ffmpeg where it can and by the library otherwise)
// to each output format, the common fields, one further property and the
// cover picture arrive; read back with TagLib through the library and, for
// the cover and a field, with ffprobe as an independent reader. A missing
// library, an unreadable source or a source without tags changes nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "export/writers/audio_writer.h"
#include "export/writers/writer_factory.h"
#include <taglib/flacfile.h>
#include <taglib/mp4file.h>
#include <taglib/xiphcomment.h>

#include "export/tagging/fd_stream.h"
#include "export/tagging/tag_fields.h"
#include "export/tags.h"
#include "testaudio.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<char>;

// What every source carries. The title is not Latin-1, so it cannot go into
// a WAV's INFO list; the artist is Latin-1 but not ASCII.
const std::string kTitle = "Grüße – Title";
const std::string kArtist = "Artist \u00D6";
const std::string kAlbum = "Album";
const std::string kComment = "Comment text";
const std::string kGenre = "Rock";
const std::string kComposer = "Composer X";
constexpr unsigned kYear = 2001;
constexpr unsigned kTrack = 7;

Bytes ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

void WriteBytes(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(data.data(), std::streamsize(data.size()));
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

struct Tags {
  bool opened = false;
  std::string title, artist, album, comment, genre, composer;
  std::string commentProperties;  // COMMENT and DESCRIPTION properties
  unsigned year = 0, track = 0;
  int covers = 0;
  std::string mime;
  int type = -1;
  Bytes cover;
};

// A file opened through TagLib the way the tag step opens it.
struct Opened {
  explicit Opened(const std::string& path, pwtag::FdStream::Mode mode = pwtag::FdStream::Mode::Read)
      : stream(path, mode), ref(pwtag::OpenTagFile(&stream, path)) {}
  bool Valid() const { return !ref.isNull() && ref.file()->isValid(); }
  TagLib::File* File() const { return ref.file(); }
  pwtag::FdStream stream;
  TagLib::FileRef ref;
};

std::string Utf8(const TagLib::String& s) { return s.to8Bit(true); }

std::string Property(TagLib::File* f, const char* name) {
  const TagLib::PropertyMap props = pwtag::ReadProperties(f);
  const auto it = props.find(name);
  return it == props.end() ? std::string() : Utf8(it->second.toString("\n"));
}

Tags ReadTags(const std::string& path) {
  Tags t;
  const Opened file(path);
  if (!file.Valid()) return t;
  t.opened = true;
  const TagLib::Tag* tag = file.File()->tag();
  t.title = Utf8(tag->title());
  t.artist = Utf8(tag->artist());
  t.album = Utf8(tag->album());
  t.comment = Utf8(tag->comment());
  t.genre = Utf8(tag->genre());
  t.year = tag->year();
  t.track = tag->track();
  t.composer = Property(file.File(), "COMPOSER");
  t.commentProperties = Property(file.File(), "COMMENT") + "|" + Property(file.File(), "DESCRIPTION");
  const std::vector<pwtag::Picture> pictures = pwtag::ReadPictures(file.File());
  t.covers = int(pictures.size());
  if (!pictures.empty()) {
    t.mime = Utf8(pictures[0].mime);
    t.type = pictures[0].type;
    t.cover.assign(pictures[0].data.begin(), pictures[0].data.end());
  }
  return t;
}

// Writes the common fields and the composer, and/or the cover, with TagLib.
void TagWithLibrary(const std::string& path, bool text, const Bytes& cover) {
  Opened file(path, pwtag::FdStream::Mode::ReadWrite);
  ASSERT_TRUE(file.Valid()) << path;
  if (text) {
    TagLib::Tag* tag = file.File()->tag();
    tag->setTitle(TagLib::String(kTitle, TagLib::String::UTF8));
    tag->setArtist(TagLib::String(kArtist, TagLib::String::UTF8));
    tag->setAlbum(TagLib::String(kAlbum, TagLib::String::UTF8));
    tag->setComment(TagLib::String(kComment, TagLib::String::UTF8));
    tag->setGenre(TagLib::String(kGenre, TagLib::String::UTF8));
    tag->setYear(kYear);
    tag->setTrack(kTrack);
    TagLib::PropertyMap props = pwtag::ReadProperties(file.File());
    props.replace("COMPOSER", TagLib::StringList(TagLib::String(kComposer, TagLib::String::UTF8)));
    EXPECT_FALSE(pwtag::WriteProperties(file.File(), props).contains("COMPOSER"));
  }
  if (!cover.empty()) {
    pwtag::Picture picture;
    picture.mime = "image/png";
    picture.description = "Front";
    picture.data = TagLib::ByteVector(cover.data(), unsigned(cover.size()));
    EXPECT_TRUE(pwtag::WritePictures(file.File(), {picture}));
  }
  EXPECT_TRUE(pwtag::SaveTagFile(file.File()));
  EXPECT_FALSE(file.stream.failed()) << file.stream.reason();
}

// A source may hold its comment where the common field does not look (ffmpeg
// writes it to MP3, AIFF and AAC as an ID3v2 TXXX frame, to FLAC and Ogg as
// DESCRIPTION); an output must have it in the common field.
void ExpectTags(const Tags& t, const Bytes& cover, bool source = false) {
  ASSERT_TRUE(t.opened);
  EXPECT_EQ(t.title, kTitle);
  EXPECT_EQ(t.artist, kArtist);
  EXPECT_EQ(t.album, kAlbum);
  if (source && t.comment.empty()) {
    EXPECT_NE(t.commentProperties.find(kComment), std::string::npos) << t.commentProperties;
  } else {
    EXPECT_EQ(t.comment, kComment);
  }
  EXPECT_EQ(t.genre, kGenre);
  EXPECT_EQ(t.year, kYear);
  EXPECT_EQ(t.track, kTrack);
  EXPECT_EQ(t.composer, kComposer);
  ASSERT_EQ(t.covers, 1);
  EXPECT_EQ(t.mime, "image/png");
  EXPECT_TRUE(t.cover == cover);
}

// A transfer that worked and had nothing to warn about.
void ExpectCopied(const std::string& source, const std::string& out) {
  const TagCopyResult r = CopyTags(source, out);
  EXPECT_EQ(r.failure, "");
  EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
}

// ffprobe's view: every stream disposition and tag, lower-cased.
std::string Probe(const std::string& path, const std::string& dir) {
  const std::string out = dir + "/probe.txt";
  fs::remove(out);
  pwtest::Run("ffprobe -v error -show_entries stream_disposition=attached_pic:format_tags:stream_tags "
              "-of default=nw=1 " + Quote(path) + " > " + Quote(out));
  const Bytes text = ReadBytes(out);
  return Lower(std::string(text.begin(), text.end()));
}

const char* const kOutputs[] = {"mp3", "wav", "flac", "m4a"};

struct SourceFormat {
  const char* name;
  const char* ext;
  const char* encode;  // ffmpeg output options; null: the APE fixture
  bool ffmpegText;     // ffmpeg writes the text fields
  bool ffmpegCover;    // ffmpeg attaches the cover
};

std::ostream& operator<<(std::ostream& os, const SourceFormat& f) { return os << f.name; }

const SourceFormat kSources[] = {
    {"MP3", "mp3", "-c:a libmp3lame", true, true},
    {"MP2", "mp2", "-c:a mp2", false, false},
    {"WAV", "wav", "-c:a pcm_s16le", false, false},
    {"WMA", "wma", "-c:a wmav2", false, false},
    {"FLAC", "flac", "-c:a flac", true, true},
    {"OGG", "ogg", "-c:a libvorbis", true, false},
    {"AIFF", "aiff", "-c:a pcm_s16be -write_id3v2 1", true, false},
    {"M4A", "m4a", "-c:a aac", true, true},
    // Raw ADTS: its tags are an ID3v2 tag in front (or APE at the end).
    {"AAC", "aac", "-c:a aac -write_id3v2 1", true, false},
    {"APE", "ape", nullptr, false, false},
};

const std::string kFfmpeg = "ffmpeg -nostdin -hide_banner -loglevel error -y ";
const std::string kTone = "-f lavfi -i sine=frequency=440:duration=0.2 ";

// Per process: the cover picture and untagged outputs made by ffmpeg.
class TagFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = pwtest::TempDir("tags");
    std::string command = kFfmpeg + kTone + "-f lavfi -i color=c=orange:s=16x16 -map 1:v -frames:v 1 " +
                          Quote(dir + "/cover.png");
    for (const char* ext : kOutputs) command += " -map 0:a " + Quote(dir + "/blank." + ext);
    ASSERT_TRUE(pwtest::Run(command));
    cover = ReadBytes(dir + "/cover.png");
    ASSERT_GT(cover.size(), 8u);
  }

  // The source in the given format, tagged; its name is not ASCII.
  static std::string MakeSource(const SourceFormat& f) {
    const std::string path = dir + "/Lied \u00E4 " + f.name + "." + f.ext;
    if (!f.encode) {
      fs::copy_file(pwtest::FixtureDir() + "/ape/mono-22050-16.ape", path,
                    fs::copy_options::overwrite_existing);
      fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
    } else {
      std::string command = kFfmpeg + kTone;
      if (f.ffmpegCover)
        command += "-i " + Quote(dir + "/cover.png") + " -map 0 -map 1 -c:v copy -disposition:v attached_pic ";
      command += std::string(f.encode) + " ";
      if (f.ffmpegText) {
        const std::pair<const char*, std::string> fields[] = {
            {"title", kTitle},     {"artist", kArtist},  {"album", kAlbum},
            {"comment", kComment}, {"genre", kGenre},    {"date", std::to_string(kYear)},
            {"track", std::to_string(kTrack)},          {"composer", kComposer}};
        for (const auto& [key, value] : fields) command += "-metadata " + Quote(std::string(key) + "=" + value) + " ";
      }
      EXPECT_TRUE(pwtest::Run(command + Quote(path)));
    }
    if (!f.ffmpegText || !f.ffmpegCover) TagWithLibrary(path, !f.ffmpegText, f.ffmpegCover ? Bytes() : cover);
    return path;
  }

  static std::string dir;
  static Bytes cover;
};

std::string TagFiles::dir;
Bytes TagFiles::cover;

class TagTransfer : public TagFiles, public ::testing::WithParamInterface<SourceFormat> {};

TEST_P(TagTransfer, FieldsAndCoverArriveInEveryOutput) {
  const SourceFormat& format = GetParam();
  const std::string source = MakeSource(format);

  // The source as TagLib and as ffmpeg see it.
  const Tags from = ReadTags(source);
  {
    SCOPED_TRACE("source");
    ExpectTags(from, cover, true);
  }
  const std::string probed = Probe(source, dir);
  EXPECT_NE(probed.find("attached_pic=1"), std::string::npos) << probed;
  EXPECT_NE(probed.find("album=album"), std::string::npos) << probed;

  for (const char* ext : kOutputs) {
    SCOPED_TRACE(std::string("to ") + ext);
    const std::string out = dir + "/" + format.name + " out." + ext;
    fs::copy_file(dir + "/blank." + ext, out, fs::copy_options::overwrite_existing);
    ExpectCopied(source, out);
    const Tags to = ReadTags(out);
    ExpectTags(to, cover);
    // MP4 pictures have no type; the others keep the source's.
    if (std::string(ext) != "m4a" && format.ext != std::string("m4a")) {
      EXPECT_EQ(to.type, from.type);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sources, TagTransfer, ::testing::ValuesIn(kSources),
                         [](const ::testing::TestParamInfo<SourceFormat>& info) { return info.param.name; });

using TagOutputs = TagFiles;

TEST_F(TagOutputs, OtherReadersSeeTheCopiedCoverAndFields) {
  const std::string source = MakeSource(kSources[3]);  // WMA, tagged by the library
  for (const char* ext : kOutputs) {
    SCOPED_TRACE(ext);
    const std::string out = dir + "/probe out." + ext;
    fs::copy_file(dir + "/blank." + ext, out, fs::copy_options::overwrite_existing);
    ExpectCopied(source, out);
    const std::string probed = Probe(out, dir);
    EXPECT_NE(probed.find("attached_pic=1"), std::string::npos) << probed;
    EXPECT_NE(probed.find("album=album"), std::string::npos) << probed;
    // ffmpeg reads a WAV's text from its INFO list, which has no composer.
    if (std::string(ext) != "wav") {
      EXPECT_NE(probed.find("composer=composer x"), std::string::npos) << probed;
    }
  }
}

// The text of each chunk of a WAV's LIST/INFO, by identifier.
std::map<std::string, std::string> WavInfo(const Bytes& b) {
  std::map<std::string, std::string> info;
  const auto le32 = [&](size_t at) {
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
           uint32_t(uint8_t(b[at + 3])) << 24;
  };
  for (size_t at = 12; at + 8 <= b.size();) {
    const std::string id(&b[at], 4);
    const size_t size = le32(at + 4);
    if (id == "LIST" && at + 12 <= b.size() && std::string(&b[at + 8], 4) == "INFO") {
      for (size_t sub = at + 12; sub + 8 <= std::min(b.size(), at + 8 + size);) {
        const size_t n = le32(sub + 4);
        if (sub + 8 + n > b.size()) break;
        std::string text(&b[sub + 8], n);
        text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
        info[std::string(&b[sub], 4)] = text;
        sub += 8 + n + (n & 1);
      }
    }
    at += 8 + size + (size & 1);
  }
  return info;
}

TEST_F(TagOutputs, WavGetsTheCommonFieldsInItsInfoListToo) {
  const std::string source = MakeSource(kSources[0]);  // MP3, tagged by ffmpeg
  const std::string out = dir + "/info out.wav";
  fs::copy_file(dir + "/blank.wav", out, fs::copy_options::overwrite_existing);
  ExpectCopied(source, out);
  std::map<std::string, std::string> info = WavInfo(ReadBytes(out));
  EXPECT_EQ(info["INAM"], kTitle);  // UTF-8
  EXPECT_EQ(info["IART"], kArtist);
  EXPECT_EQ(info["IPRD"], kAlbum);
  EXPECT_EQ(info["ICMT"], kComment);
  EXPECT_EQ(info["IGNR"], kGenre);
  EXPECT_EQ(info["ICRD"], std::to_string(kYear));
  ExpectTags(ReadTags(out), cover);
}

TEST_F(TagOutputs, FilesFromOurWritersTakeTheTagsAndStillDecode) {
  const std::string source = MakeSource(kSources[0]);  // MP3, tagged by ffmpeg
  const ExportFormat exportFormat{MakeAudioFormat(SampleEncoding::Integer, 44100, 2, 16), 0};
  const std::vector<float> tone = pwtest::Sine(440, 44100, 2, 13230);
  std::vector<int16_t> pcm(tone.size());
  for (size_t i = 0; i < tone.size(); ++i) pcm[i] = int16_t(tone[i] * 32767.0f);

  // Each writer's file, tagged, and an untagged copy of it.
  std::vector<std::string> files;
  for (size_t format = 1; format <= 4; ++format) {
    std::string out;
    {
      std::unique_ptr<AudioWriter> writer = kWriterFactories[format](dir + "/ours", exportFormat);
      out = writer->outputPath();
      writer->write(pcm.data(), uint32_t(pcm.size() * sizeof(int16_t)));
    }
    SCOPED_TRACE(out);
    const std::string untagged = dir + "/untagged" + fs::path(out).extension().string();
    fs::copy_file(out, untagged, fs::copy_options::overwrite_existing);
    ExpectCopied(source, out);
    ExpectTags(ReadTags(out), cover);
    files.push_back(untagged);
    files.push_back(out);
  }

  // The tags leave the audio as it was: one ffmpeg run decodes all of them
  // and has nothing to complain about.
  std::string command = "ffmpeg -nostdin -v error -y";
  for (const std::string& file : files) command += " -i " + Quote(file);
  const auto raw = [&](size_t i) { return dir + "/decoded" + std::to_string(i) + ".raw"; };
  for (size_t i = 0; i < files.size(); ++i) command += " -map " + std::to_string(i) + ":a -f s16le " + Quote(raw(i));
  const std::string log = dir + "/decoded.log";
  ASSERT_TRUE(pwtest::Run(command + " 2> " + Quote(log)));
  const Bytes messages = ReadBytes(log);
  EXPECT_TRUE(messages.empty()) << std::string(messages.begin(), messages.end());
  for (size_t i = 0; i < files.size(); i += 2) {
    SCOPED_TRACE(files[i + 1]);
    const Bytes untagged = ReadBytes(raw(i));
    EXPECT_GT(untagged.size(), 10000u);
    EXPECT_TRUE(ReadBytes(raw(i + 1)) == untagged);
  }
}

// Each of our writers' files for a short stereo tone, under dir/<stem>.<ext>;
// the writers put no encoder names of their own but FLAC's vendor string.
std::vector<std::string> WriterOutputs(const std::string& dir, const std::string& stem) {
  const ExportFormat exportFormat{MakeAudioFormat(SampleEncoding::Integer, 44100, 2, 16), 0};
  const std::vector<float> tone = pwtest::Sine(440, 44100, 2, 4410);
  std::vector<int16_t> pcm(tone.size());
  for (size_t i = 0; i < tone.size(); ++i) pcm[i] = int16_t(tone[i] * 32767.0f);
  std::vector<std::string> files;
  for (size_t format = 1; format <= 4; ++format) {
    std::unique_ptr<AudioWriter> writer = kWriterFactories[format](dir + "/" + stem, exportFormat);
    writer->write(pcm.data(), uint32_t(pcm.size() * sizeof(int16_t)));
    writer->finish();
    files.push_back(writer->outputPath());
  }
  return files;
}

TEST_F(TagOutputs, TheSourcesEncoderNamesAndSettingsStayBehind) {
  // Sources as real encoders leave them: ffmpeg names itself ("Lavf…",
  // "Lavc…" in ID3 TSSE, MP4 \251too, Xiph ENCODER) unless told not to. A person's "encoded by"
  // (ID3 TENC) is the song's and travels, except into MP4, whose only
  // place for it is the encoding program's.
  const std::string person = "Ann Encoder";
  struct Source {
    const char* name;
    const char* options;
    const char* encoderKey;  // where TagLib shows the source's encoder
    bool person;             // carries the person's TENC
  } sources[] = {
      {"enc.mp3", "-c:a libmp3lame -metadata 'encoded_by=Ann Encoder'", "ENCODING", true},
      {"enc.m4a", "-c:a aac", "ENCODEDBY", false},
      {"enc.flac", "-c:a flac -metadata 'encoder_options=--best'", "ENCODER", false},
      {"enc.ogg", "-c:a libvorbis", "ENCODER", false},
  };
  for (const Source& src : sources) {
    SCOPED_TRACE(src.name);
    const std::string path = dir + "/" + src.name;
    ASSERT_TRUE(pwtest::Run(kFfmpeg + kTone + src.options + " -metadata title=Song " + Quote(path)));
    if (std::string(src.name) == "enc.m4a") {
      // iTunes' encoder delay and loudness notes, as freeform atoms.
      Opened file(path, pwtag::FdStream::Mode::ReadWrite);
      ASSERT_TRUE(file.Valid());
      auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file.File());
      ASSERT_NE(mp4, nullptr);
      mp4->tag()->setItem("----:com.apple.iTunes:iTunSMPB", TagLib::StringList(" 00000000 00000840 000001C0"));
      mp4->tag()->setItem("----:com.apple.iTunes:iTunNORM", TagLib::StringList(" 00000100 00000100"));
      ASSERT_TRUE(pwtag::SaveTagFile(mp4));
    }
    {
      // The source does carry what must not travel.
      const Opened file(path);
      ASSERT_TRUE(file.Valid());
      EXPECT_EQ(Property(file.File(), src.encoderKey).rfind("Lav", 0), 0u) << src.encoderKey;
    }
    for (const std::string& out : WriterOutputs(dir, std::string("enc-out-") + src.name)) {
      SCOPED_TRACE(out);
      ExpectCopied(path, out);
      const Opened file(out);
      ASSERT_TRUE(file.Valid());
      const TagLib::PropertyMap props = pwtag::ReadProperties(file.File());
      EXPECT_EQ(Utf8(file.File()->tag()->title()), "Song");
      for (const auto& [key, values] : props) {
        for (const char* left : {"ENCODER", "ENCODING", "ENCODER_OPTIONS", "ITUNSMPB", "ITUNNORM"})
          EXPECT_NE(Utf8(key), left);
        EXPECT_EQ(Utf8(values.toString(" ")).find("Lav"), std::string::npos) << Utf8(key);
        EXPECT_EQ(Utf8(values.toString(" ")).find("--best"), std::string::npos) << Utf8(key);
      }
      const bool mp4 = dynamic_cast<TagLib::MP4::File*>(file.File()) != nullptr;
      if (mp4) {
        EXPECT_FALSE(dynamic_cast<TagLib::MP4::File*>(file.File())->tag()->contains("\251too"));
      }
      EXPECT_EQ(Property(file.File(), "ENCODEDBY"), src.person && !mp4 ? person : "");
      if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file.File())) {
        // Our encoder's own name, not the source's.
        EXPECT_EQ(Utf8(flac->xiphComment(true)->vendorID()).rfind("reference libFLAC", 0), 0u)
            << Utf8(flac->xiphComment()->vendorID());
      }
    }
  }
}

// Untagged WAV files written directly, for the cases where nothing may change.
class TagTransferFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = pwtest::TempDir("tagfail");
    tagged = dir + "/tagged.wav";
    out = dir + "/out.wav";
    pwtest::WriteWav(tagged, pwtest::Sine(440, 8000, 1, 800), 8000, 1, 16);
    pwtest::WriteWav(out, pwtest::Sine(440, 8000, 1, 800), 8000, 1, 16);
    TagWithLibrary(tagged, true, Bytes{'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n', 1, 2, 3});
    before = ReadBytes(out);
  }

  std::string dir, tagged, out;
  Bytes before;
};

// Every tag transfer fails as a full disk would after `bytes`, while it lives.
struct TagDiskFullAfter {
  explicit TagDiskFullAfter(int64_t bytes) { FailTagWritesAfterBytesForTesting(bytes, ENOSPC); }
  ~TagDiskFullAfter() { FailTagWritesAfterBytesForTesting(-1, 0); }
};

TEST_F(TagOutputs, AFullDiskDuringTheTagSaveIsAFailureNamingTheOutput) {
  const std::string source = MakeSource(kSources[0]);  // MP3 with fields and a cover
  const ExportFormat exportFormat{MakeAudioFormat(SampleEncoding::Integer, 44100, 2, 16), 0};
  const std::vector<float> tone = pwtest::Sine(440, 44100, 2, 13230);
  std::vector<int16_t> pcm(tone.size());
  for (size_t i = 0; i < tone.size(); ++i) pcm[i] = int16_t(tone[i] * 32767.0f);
  for (size_t format = 1; format <= 4; ++format) {
    std::string untagged;
    {
      std::unique_ptr<AudioWriter> writer = kWriterFactories[format](dir + "/full", exportFormat);
      untagged = writer->outputPath() + ".untagged";
      writer->write(pcm.data(), uint32_t(pcm.size() * sizeof(int16_t)));
      writer->finish();
      fs::rename(writer->outputPath(), untagged);
    }
    const std::string out = dir + "/full" + fs::path(fs::path(untagged).stem()).extension().string();
    // How much the tags add when the disk has room.
    fs::copy_file(untagged, out, fs::copy_options::overwrite_existing);
    ExpectCopied(source, out);
    const int64_t added = int64_t(fs::file_size(out)) - int64_t(fs::file_size(untagged));
    ASSERT_GT(added, 200) << out;
    // Out of room before the first byte, a little way in, half way and one
    // byte short of what the tags add.
    for (const int64_t budget : {int64_t(0), int64_t(1), added / 2, added - 1}) {
      SCOPED_TRACE(out + " with room for " + std::to_string(budget) + " bytes");
      fs::copy_file(untagged, out, fs::copy_options::overwrite_existing);
      TagCopyResult r;
      {
        const TagDiskFullAfter full(budget);
        r = CopyTags(source, out);
      }
      EXPECT_EQ(r.failure, "Cannot write \"" + out + "\": No space left on device");
      EXPECT_TRUE(r.warnings.empty());
    }
  }
}

TEST_F(TagTransferFailures, UnreadableOrUntaggedSourceLeavesTheOutputAloneWithAWarning) {
  Bytes garbage(4096);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = char(i * 37 + 11);
  WriteBytes(dir + "/garbage.mp3", garbage);
  WriteBytes(dir + "/empty.flac", {});
  fs::create_directories(dir + "/folder.m4a");
  pwtest::WriteWav(dir + "/untagged.wav", pwtest::Sine(440, 8000, 1, 800), 8000, 1, 16);
  WriteBytes(dir + "/unknown.xyz", garbage);

  const struct {
    const char* name;
    const char* why;  // the warning's reason; null: no warning
  } cases[] = {
      {"missing.mp3", "No such file or directory"},
      {"garbage.mp3", nullptr},  // TagLib takes it for an MPEG file without tags
      {"empty.flac", "the tag library cannot read them"},
      {"folder.m4a", "Is a directory"},
      {"untagged.wav", nullptr},
      {"unknown.xyz", nullptr},  // a type without tags TagLib knows
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/" + c.name;
    const TagCopyResult r = CopyTags(path, out);
    EXPECT_EQ(r.failure, "");
    if (c.why) {
      EXPECT_EQ(r.warnings, std::vector<std::string>{"The tags of \"" + path + "\" were not copied: " + c.why});
    } else {
      EXPECT_EQ(r.warnings, std::vector<std::string>{});
    }
    EXPECT_TRUE(ReadBytes(out) == before);
  }
}

// TagLib reads only plain RIFF and would wrap its 32-bit size: a WAV over
// 4 GiB, or one the tags would take past it, keeps its audio and goes
// without tags, with a warning.
TEST_F(TagTransferFailures, AWavOver4GiBKeepsItsAudioAndGoesWithoutTags) {
  // RF64 as ffmpeg writes it when asked to, small.
  const std::string rf64 = dir + "/rf64.wav";
  ASSERT_TRUE(pwtest::Run("ffmpeg -nostdin -v error -y -f lavfi -i sine=duration=0.1 -rf64 always '" + rf64 + "'"));
  // A plain RIFF 300 bytes short of the limit, its audio a hole in the file.
  const std::string edge = dir + "/edge.wav";
  {
    const uint32_t data = 0xFFFFFFFFu - 36 - 300;
    pwtest::WriteWav(edge, {}, 8000, 1, 16);
    std::fstream f(edge, std::ios::in | std::ios::out | std::ios::binary);
    const auto put32 = [&](std::streamoff at, uint32_t v) {
      f.seekp(at);
      for (int i = 0; i < 4; ++i) f.put(char(v >> (8 * i)));
    };
    put32(4, data + 36);
    put32(40, data);
    f.close();
    fs::resize_file(edge, 44 + uint64_t(data));
  }
  for (const std::string& path : {rf64, edge}) {
    SCOPED_TRACE(path);
    const auto size = fs::file_size(path);
    Bytes head(64);
    {
      std::ifstream in(path, std::ios::binary);
      in.read(head.data(), 64);
    }
    const TagCopyResult r = CopyTags(tagged, path);
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(r.warnings, std::vector<std::string>{"The tags were not copied to \"" + path +
                                                   "\": the tag library cannot write them into a WAV file over 4 GiB"});
    EXPECT_EQ(fs::file_size(path), size);
    Bytes after(64);
    std::ifstream in(path, std::ios::binary);
    in.read(after.data(), 64);
    EXPECT_TRUE(after == head);
  }
  fs::remove(edge);
}

TEST_F(TagTransferFailures, AMissingOutputIsAFailureAndAnUnreadableOneAWarning) {
  const std::string absent = dir + "/absent.flac";
  const TagCopyResult missing = CopyTags(tagged, absent);
  EXPECT_EQ(missing.failure, "Cannot write \"" + absent + "\": No such file or directory");
  EXPECT_FALSE(fs::exists(absent));
  Bytes garbage(1000, 'x');
  const std::string damaged = dir + "/garbage.flac";
  WriteBytes(damaged, garbage);
  const TagCopyResult unreadable = CopyTags(tagged, damaged);
  EXPECT_EQ(unreadable.failure, "");
  EXPECT_EQ(unreadable.warnings,
            std::vector<std::string>{"The tags were not copied to \"" + damaged + "\": the tag library cannot read that file"});
  EXPECT_TRUE(ReadBytes(damaged) == garbage);
}

}  // namespace
