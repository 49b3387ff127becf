/* The tag library: a C interface over TagLib, loaded by name (dlopen) by the
 * export for each tag transfer.
 *
 * Strings: paths are passed as the operating system's bytes (UTF-8 on Linux).
 * Other strings are UTF-8 while taglib_set_strings_unicode is on (the
 * default), Latin-1 otherwise. Strings returned by the library are
 * heap-allocated; while string management is on (the default) they are kept
 * on a list and released together by taglib_tag_free_strings, otherwise the
 * caller frees each with free().
 *
 * Handles: a TagLib_File owns the opened file; its TagLib_Tag lives as long
 * as the file. Nothing is written to disk before taglib_file_save.
 *
 * Types: which formats are known is decided by TagLib (by extension, then by
 * content), plus raw AAC (".aac", ".adts"), which is opened for its ID3v2
 * and APE tags.
 *
 * A WAV keeps its tags in an ID3v2 chunk and the common fields also in its
 * RIFF INFO list (UTF-8 text).
 *
 * Pictures are given by type using the ID3v2 numbering (0 other, 3 front
 * cover, 4 back cover, ...), which FLAC, Ogg and ASF share. MP4 pictures
 * have no type and read as front covers; APE tags keep one picture per
 * "Cover Art (...)" item.
 *
 * Threads: one file handle is used by one thread at a time; the string list
 * and the two switches may be used from any thread. */
#ifndef PW_TAGWRAPPER_H
#define PW_TAGWRAPPER_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define PW_TAGWRAPPER_API __attribute__((visibility("default")))
#else
#define PW_TAGWRAPPER_API
#endif

typedef struct TagLib_File TagLib_File;
typedef struct TagLib_Tag TagLib_Tag;

/* Strings in and out are UTF-8 when nonzero, Latin-1 when 0. */
PW_TAGWRAPPER_API void taglib_set_strings_unicode(int unicode);
/* Returned strings are kept for taglib_tag_free_strings when nonzero. */
PW_TAGWRAPPER_API void taglib_set_string_management_enabled(int management);
/* Releases every string handed out while string management was on. */
PW_TAGWRAPPER_API void taglib_tag_free_strings(void);

/* Opens a file for its tags; NULL when it cannot be opened, its type is
 * unknown or its content is not valid for that type. The two names are the
 * same function (on Windows newu took a wide path). */
PW_TAGWRAPPER_API TagLib_File* taglib_file_new(const char* filename);
PW_TAGWRAPPER_API TagLib_File* taglib_file_newu(const char* filename);
PW_TAGWRAPPER_API void taglib_file_free(TagLib_File* file);
PW_TAGWRAPPER_API int taglib_file_is_valid(const TagLib_File* file);
/* Writes the tags into the file when they were changed through this handle
 * (an unchanged file is left as it is); nonzero on success, also when there
 * was nothing to write. ID3v2 tags are written as version 2.4; an MPEG file
 * keeps its ID3v1 and APE tags (updated) but gets none added. */
PW_TAGWRAPPER_API int taglib_file_save(TagLib_File* file);

/* The file's tag in the common fields (title, artist, ...), NULL on NULL. */
PW_TAGWRAPPER_API TagLib_Tag* taglib_file_tag(const TagLib_File* file);
PW_TAGWRAPPER_API char* taglib_tag_title(const TagLib_Tag* tag);
PW_TAGWRAPPER_API char* taglib_tag_artist(const TagLib_Tag* tag);
PW_TAGWRAPPER_API char* taglib_tag_album(const TagLib_Tag* tag);
PW_TAGWRAPPER_API char* taglib_tag_comment(const TagLib_Tag* tag);
PW_TAGWRAPPER_API char* taglib_tag_genre(const TagLib_Tag* tag);
PW_TAGWRAPPER_API unsigned int taglib_tag_year(const TagLib_Tag* tag);
PW_TAGWRAPPER_API unsigned int taglib_tag_track(const TagLib_Tag* tag);
PW_TAGWRAPPER_API void taglib_tag_set_title(TagLib_Tag* tag, const char* title);
PW_TAGWRAPPER_API void taglib_tag_set_artist(TagLib_Tag* tag, const char* artist);
PW_TAGWRAPPER_API void taglib_tag_set_album(TagLib_Tag* tag, const char* album);
PW_TAGWRAPPER_API void taglib_tag_set_comment(TagLib_Tag* tag, const char* comment);
PW_TAGWRAPPER_API void taglib_tag_set_genre(TagLib_Tag* tag, const char* genre);
PW_TAGWRAPPER_API void taglib_tag_set_year(TagLib_Tag* tag, unsigned int year);
PW_TAGWRAPPER_API void taglib_tag_set_track(TagLib_Tag* tag, unsigned int track);

/* A named property (TagLib's names: "TITLE", "COMPOSER", "BPM", ...); its
 * values joined by line feeds, "" when absent; NULL on a NULL handle. */
PW_TAGWRAPPER_API char* taglib_tag_get_byname(const TagLib_File* file, const char* name);
/* Sets a named property to one value; NULL or "" removes it. Nonzero when
 * the tag accepted the name. */
PW_TAGWRAPPER_API int taglib_tag_set_byname(TagLib_File* file, const char* name, const char* value);

/* Copies every text property and every picture of src onto dst, in memory:
 * properties of src replace those of the same name on dst, others of dst
 * stay; the pictures of src, when it has any, replace those of dst. The
 * names of the software that encoded src ("ENCODER", "ENCODING") are not
 * copied. A src without tags and pictures leaves dst unchanged. Nonzero
 * when both handles exist. */
PW_TAGWRAPPER_API int taglib_tag_copy(const TagLib_File* src, TagLib_File* dst);

PW_TAGWRAPPER_API int taglib_tag_get_cover_count(const TagLib_File* file);
/* Picture index (from 0): returns its MIME type and fills its type and data
 * size when the pointers are not NULL; NULL when there is no such picture. */
PW_TAGWRAPPER_API char* taglib_tag_get_cover(const TagLib_File* file, int index, int* type, unsigned int* size);
/* Copies up to capacity bytes of picture index into buffer (may be NULL when
 * capacity is 0); returns the picture's full size, 0 when absent. */
PW_TAGWRAPPER_API unsigned int taglib_tag_get_cover_data(const TagLib_File* file, int index, void* buffer,
                                                         unsigned int capacity);
/* Adds a picture, replacing those of the same type (all of them in MP4);
 * mime may be NULL or "" to have it recognised from the data. Nonzero when
 * the file's format carries pictures. */
PW_TAGWRAPPER_API int taglib_tag_set_cover(TagLib_File* file, const void* data, unsigned int size, const char* mime,
                                           int type, const char* description);
PW_TAGWRAPPER_API int taglib_tag_delete_allcovers(TagLib_File* file);

#ifdef __cplusplus
}
#endif

#endif
