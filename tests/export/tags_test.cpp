// Tag transfer through the tag library. From each input format (files made
// with ffmpeg, tagged by ffmpeg where it can and by the library otherwise)
// to each output format, the common fields, one further property and the
// cover picture arrive; read back with TagLib through the library and, for
// the cover and a field, with ffprobe as an independent reader. A missing
// library, an unreadable source or a source without tags changes nothing.
#include <dlfcn.h>
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

#include "audio_writer.h"
#include "tags.h"
#include "tagwrapper/tagwrapper.h"
#include "testaudio.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<char>;

// What every source carries. The title is not Latin-1, so it cannot go into
// a WAV's INFO list; the artist is Latin-1 but not ASCII.
const std::string Title = "Grüße – Title";
const std::string Artist = "Artist \u00D6";
const std::string Album = "Album";
const std::string Comment = "Comment text";
const std::string Genre = "Rock";
const std::string Composer = "Composer X";
constexpr unsigned Year = 2001;
constexpr unsigned Track = 7;

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

// The library's entry points used here, loaded once per process.
struct Api {
  TagLibrary library;
  decltype(&taglib_file_newu) open = library.Get<decltype(&taglib_file_newu)>("taglib_file_newu");
  decltype(&taglib_file_free) close = library.Get<decltype(&taglib_file_free)>("taglib_file_free");
  decltype(&taglib_file_save) save = library.Get<decltype(&taglib_file_save)>("taglib_file_save");
  decltype(&taglib_file_tag) tag = library.Get<decltype(&taglib_file_tag)>("taglib_file_tag");
  decltype(&taglib_tag_title) title = library.Get<decltype(&taglib_tag_title)>("taglib_tag_title");
  decltype(&taglib_tag_artist) artist = library.Get<decltype(&taglib_tag_artist)>("taglib_tag_artist");
  decltype(&taglib_tag_album) album = library.Get<decltype(&taglib_tag_album)>("taglib_tag_album");
  decltype(&taglib_tag_comment) comment = library.Get<decltype(&taglib_tag_comment)>("taglib_tag_comment");
  decltype(&taglib_tag_genre) genre = library.Get<decltype(&taglib_tag_genre)>("taglib_tag_genre");
  decltype(&taglib_tag_year) year = library.Get<decltype(&taglib_tag_year)>("taglib_tag_year");
  decltype(&taglib_tag_track) track = library.Get<decltype(&taglib_tag_track)>("taglib_tag_track");
  decltype(&taglib_tag_set_title) setTitle = library.Get<decltype(&taglib_tag_set_title)>("taglib_tag_set_title");
  decltype(&taglib_tag_set_artist) setArtist = library.Get<decltype(&taglib_tag_set_artist)>("taglib_tag_set_artist");
  decltype(&taglib_tag_set_album) setAlbum = library.Get<decltype(&taglib_tag_set_album)>("taglib_tag_set_album");
  decltype(&taglib_tag_set_comment) setComment =
      library.Get<decltype(&taglib_tag_set_comment)>("taglib_tag_set_comment");
  decltype(&taglib_tag_set_genre) setGenre = library.Get<decltype(&taglib_tag_set_genre)>("taglib_tag_set_genre");
  decltype(&taglib_tag_set_year) setYear = library.Get<decltype(&taglib_tag_set_year)>("taglib_tag_set_year");
  decltype(&taglib_tag_set_track) setTrack = library.Get<decltype(&taglib_tag_set_track)>("taglib_tag_set_track");
  decltype(&taglib_tag_get_byname) getByName = library.Get<decltype(&taglib_tag_get_byname)>("taglib_tag_get_byname");
  decltype(&taglib_tag_set_byname) setByName = library.Get<decltype(&taglib_tag_set_byname)>("taglib_tag_set_byname");
  decltype(&taglib_tag_get_cover_count) coverCount =
      library.Get<decltype(&taglib_tag_get_cover_count)>("taglib_tag_get_cover_count");
  decltype(&taglib_tag_get_cover) cover = library.Get<decltype(&taglib_tag_get_cover)>("taglib_tag_get_cover");
  decltype(&taglib_tag_get_cover_data) coverData =
      library.Get<decltype(&taglib_tag_get_cover_data)>("taglib_tag_get_cover_data");
  decltype(&taglib_tag_set_cover) setCover = library.Get<decltype(&taglib_tag_set_cover)>("taglib_tag_set_cover");
  decltype(&taglib_tag_free_strings) freeStrings =
      library.Get<decltype(&taglib_tag_free_strings)>("taglib_tag_free_strings");

  bool Complete() const {
    return open && close && save && tag && title && artist && album && comment && genre && year && track &&
           setTitle && setArtist && setAlbum && setComment && setGenre && setYear && setTrack && getByName &&
           setByName && coverCount && cover && coverData && setCover && freeStrings;
  }
};

const Api& Lib() {
  static const Api api;
  return api;
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

Tags ReadTags(const std::string& path) {
  const Api& api = Lib();
  Tags t;
  TagLib_File* f = api.open(path.c_str());
  if (!f) return t;
  t.opened = true;
  TagLib_Tag* tag = api.tag(f);
  t.title = api.title(tag);
  t.artist = api.artist(tag);
  t.album = api.album(tag);
  t.comment = api.comment(tag);
  t.genre = api.genre(tag);
  t.year = api.year(tag);
  t.track = api.track(tag);
  t.composer = api.getByName(f, "COMPOSER");
  t.commentProperties = std::string(api.getByName(f, "COMMENT")) + "|" + api.getByName(f, "DESCRIPTION");
  t.covers = api.coverCount(f);
  if (t.covers > 0) {
    unsigned size = 0;
    t.mime = api.cover(f, 0, &t.type, &size);
    t.cover.resize(size);
    api.coverData(f, 0, t.cover.data(), size);
  }
  api.close(f);
  api.freeStrings();
  return t;
}

// Writes the common fields and the composer, and/or the cover, with the library.
void TagWithLibrary(const std::string& path, bool text, const Bytes& cover) {
  const Api& api = Lib();
  TagLib_File* f = api.open(path.c_str());
  ASSERT_NE(f, nullptr) << path;
  if (text) {
    TagLib_Tag* tag = api.tag(f);
    api.setTitle(tag, Title.c_str());
    api.setArtist(tag, Artist.c_str());
    api.setAlbum(tag, Album.c_str());
    api.setComment(tag, Comment.c_str());
    api.setGenre(tag, Genre.c_str());
    api.setYear(tag, Year);
    api.setTrack(tag, Track);
    EXPECT_TRUE(api.setByName(f, "COMPOSER", Composer.c_str()));
  }
  if (!cover.empty()) {
    EXPECT_TRUE(api.setCover(f, cover.data(), unsigned(cover.size()), "image/png", 3, "Front"));
  }
  EXPECT_TRUE(api.save(f));
  api.close(f);
}

// A source may hold its comment where the common field does not look (ffmpeg
// writes it to MP3, AIFF and AAC as an ID3v2 TXXX frame, to FLAC and Ogg as
// DESCRIPTION); an output must have it in the common field.
void ExpectTags(const Tags& t, const Bytes& cover, bool source = false) {
  ASSERT_TRUE(t.opened);
  EXPECT_EQ(t.title, Title);
  EXPECT_EQ(t.artist, Artist);
  EXPECT_EQ(t.album, Album);
  if (source && t.comment.empty()) {
    EXPECT_NE(t.commentProperties.find(Comment), std::string::npos) << t.commentProperties;
  } else {
    EXPECT_EQ(t.comment, Comment);
  }
  EXPECT_EQ(t.genre, Genre);
  EXPECT_EQ(t.year, Year);
  EXPECT_EQ(t.track, Track);
  EXPECT_EQ(t.composer, Composer);
  ASSERT_EQ(t.covers, 1);
  EXPECT_EQ(t.mime, "image/png");
  EXPECT_TRUE(t.cover == cover);
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

const char* const Outputs[] = {"mp3", "wav", "flac", "m4a"};

struct SourceFormat {
  const char* name;
  const char* ext;
  const char* encode;  // ffmpeg output options; null: the APE fixture
  bool ffmpegText;     // ffmpeg writes the text fields
  bool ffmpegCover;    // ffmpeg attaches the cover
};

std::ostream& operator<<(std::ostream& os, const SourceFormat& f) { return os << f.name; }

const SourceFormat Sources[] = {
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

const std::string Ffmpeg = "ffmpeg -nostdin -hide_banner -loglevel error -y ";
const std::string Tone = "-f lavfi -i sine=frequency=440:duration=0.2 ";

// Per process: the cover picture and untagged outputs made by ffmpeg.
class TagFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = pwtest::TempDir("tags");
    std::string command = Ffmpeg + Tone + "-f lavfi -i color=c=orange:s=16x16 -map 1:v -frames:v 1 " +
                          Quote(dir + "/cover.png");
    for (const char* ext : Outputs) command += " -map 0:a " + Quote(dir + "/blank." + ext);
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
      std::string command = Ffmpeg + Tone;
      if (f.ffmpegCover)
        command += "-i " + Quote(dir + "/cover.png") + " -map 0 -map 1 -c:v copy -disposition:v attached_pic ";
      command += std::string(f.encode) + " ";
      if (f.ffmpegText) {
        const std::pair<const char*, std::string> fields[] = {
            {"title", Title},     {"artist", Artist},  {"album", Album},
            {"comment", Comment}, {"genre", Genre},    {"date", std::to_string(Year)},
            {"track", std::to_string(Track)},          {"composer", Composer}};
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

TEST(TagLibraryLoad, FoundInTheBuildTreeWithEveryEntryPoint) {
  EXPECT_TRUE(Lib().library.Loaded());
  EXPECT_TRUE(Lib().Complete());
  for (const char* name : {"taglib_set_strings_unicode", "taglib_file_newu", "taglib_tag_copy", "taglib_file_save",
                           "taglib_file_free", "taglib_tag_free_strings"})
    EXPECT_NE(Lib().library.Symbol(name), nullptr) << name;
}

TEST(TagLibraryLoad, FoundBesideTheRunningExecutable) {
  // A copy under a name that only the executable's folder has.
  Dl_info info{};
  ASSERT_NE(dladdr(Lib().library.Symbol("taglib_file_newu"), &info), 0);
  const fs::path beside = fs::read_symlink("/proc/self/exe").parent_path() /
                          ("libpwtagwrapper-beside-" + std::to_string(getpid()) + ".so");
  fs::copy_file(info.dli_fname, beside, fs::copy_options::overwrite_existing);
  SetTagLibraryName(beside.filename().string());
  const bool loaded = TagLibrary().Loaded();
  SetTagLibraryName("libpwtagwrapper.so");
  fs::remove(beside);
  EXPECT_TRUE(loaded);
}

TEST_P(TagTransfer, FieldsAndCoverArriveInEveryOutput) {
  ASSERT_TRUE(Lib().Complete());
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

  for (const char* ext : Outputs) {
    SCOPED_TRACE(std::string("to ") + ext);
    const std::string out = dir + "/" + format.name + " out." + ext;
    fs::copy_file(dir + "/blank." + ext, out, fs::copy_options::overwrite_existing);
    EXPECT_TRUE(CopyTags(source, out));
    const Tags to = ReadTags(out);
    ExpectTags(to, cover);
    // MP4 pictures have no type; the others keep the source's.
    if (std::string(ext) != "m4a" && format.ext != std::string("m4a")) {
      EXPECT_EQ(to.type, from.type);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sources, TagTransfer, ::testing::ValuesIn(Sources),
                         [](const ::testing::TestParamInfo<SourceFormat>& info) { return info.param.name; });

using TagOutputs = TagFiles;

TEST_F(TagOutputs, OtherReadersSeeTheCopiedCoverAndFields) {
  const std::string source = MakeSource(Sources[3]);  // WMA, tagged by the library
  for (const char* ext : Outputs) {
    SCOPED_TRACE(ext);
    const std::string out = dir + "/probe out." + ext;
    fs::copy_file(dir + "/blank." + ext, out, fs::copy_options::overwrite_existing);
    EXPECT_TRUE(CopyTags(source, out));
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
  const std::string source = MakeSource(Sources[0]);  // MP3, tagged by ffmpeg
  const std::string out = dir + "/info out.wav";
  fs::copy_file(dir + "/blank.wav", out, fs::copy_options::overwrite_existing);
  EXPECT_TRUE(CopyTags(source, out));
  std::map<std::string, std::string> info = WavInfo(ReadBytes(out));
  EXPECT_EQ(info["INAM"], Title);  // UTF-8
  EXPECT_EQ(info["IART"], Artist);
  EXPECT_EQ(info["IPRD"], Album);
  EXPECT_EQ(info["ICMT"], Comment);
  EXPECT_EQ(info["IGNR"], Genre);
  EXPECT_EQ(info["ICRD"], std::to_string(Year));
  ExpectTags(ReadTags(out), cover);
}

TEST_F(TagOutputs, FilesFromOurWritersTakeTheTagsAndStillDecode) {
  const std::string source = MakeSource(Sources[0]);  // MP3, tagged by ffmpeg
  const ExportFormat exportFormat{MakeAudioFormat(SampleEncoding::Integer, 44100, 2, 16), 0};
  const std::vector<float> tone = pwtest::Sine(440, 44100, 2, 13230);
  std::vector<int16_t> pcm(tone.size());
  for (size_t i = 0; i < tone.size(); ++i) pcm[i] = int16_t(tone[i] * 32767.0f);

  // Each writer's file, tagged, and an untagged copy of it.
  std::vector<std::string> files;
  for (size_t format = 1; format <= 4; ++format) {
    std::string out;
    {
      std::unique_ptr<AudioWriter> writer = WriterClasses[format](dir + "/ours", exportFormat);
      out = writer->outputPath;
      writer->Write(pcm.data(), uint32_t(pcm.size() * sizeof(int16_t)));
    }
    SCOPED_TRACE(out);
    const std::string untagged = dir + "/untagged" + fs::path(out).extension().string();
    fs::copy_file(out, untagged, fs::copy_options::overwrite_existing);
    EXPECT_TRUE(CopyTags(source, out));
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

  struct NameGuard {
    ~NameGuard() { SetTagLibraryName("libpwtagwrapper.so"); }
  };

  std::string dir, tagged, out;
  Bytes before;
};

TEST_F(TagTransferFailures, MissingLibraryTransfersNothing) {
  {
    NameGuard restore;
    for (const std::string& name : {std::string("libpwtagwrapper-missing.so"), dir + "/nowhere/libpwtagwrapper.so"}) {
      SCOPED_TRACE(name);
      SetTagLibraryName(name);
      EXPECT_FALSE(TagLibrary().Loaded());
      EXPECT_TRUE(CopyTags(tagged, out));
      EXPECT_TRUE(ReadBytes(out) == before);
    }
  }
  // The same transfer with the library in place does change the file.
  EXPECT_TRUE(CopyTags(tagged, out));
  EXPECT_EQ(ReadTags(out).title, Title);
}

TEST_F(TagTransferFailures, UnreadableOrUntaggedSourceLeavesTheOutputAlone) {
  Bytes garbage(4096);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = char(i * 37 + 11);
  WriteBytes(dir + "/garbage.mp3", garbage);
  WriteBytes(dir + "/empty.flac", {});
  fs::create_directories(dir + "/folder.m4a");
  pwtest::WriteWav(dir + "/untagged.wav", pwtest::Sine(440, 8000, 1, 800), 8000, 1, 16);

  for (const char* name : {"missing.mp3", "garbage.mp3", "empty.flac", "folder.m4a", "untagged.wav"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(CopyTags(dir + "/" + name, out));
    EXPECT_TRUE(ReadBytes(out) == before);
  }
}

TEST_F(TagTransferFailures, MissingOrUnreadableOutputIsNotCreated) {
  EXPECT_TRUE(CopyTags(tagged, dir + "/absent.flac"));
  EXPECT_FALSE(fs::exists(dir + "/absent.flac"));
  Bytes garbage(1000, 'x');
  WriteBytes(dir + "/garbage.flac", garbage);
  EXPECT_TRUE(CopyTags(tagged, dir + "/garbage.flac"));
  EXPECT_TRUE(ReadBytes(dir + "/garbage.flac") == garbage);
}

}  // namespace
