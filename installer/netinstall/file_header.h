#pragma once
// The header that announces each file of a transfer: "FILE\n" name "\n" mark
// "\n". Plain logic shared by the client and the server.

#include <cstddef>

// Room for a name from the server: 79 characters and the terminator.
constexpr size_t kFileNameSize = 80;

enum class FileHeader {
  file,       // a file follows: name and mark are set, mark >= 0
  endOfFiles, // not a "FILE" header, a malformed one, or a negative mark
};

// Reads a header payload of exactly `length` bytes. A payload that does not
// begin with "FILE" gives an empty name and mark 0. Otherwise, when the tag
// and name lines are both ended, the name (cut to 79 characters) goes into
// `name` and the third line, read like atoi (blanks, a sign, digits; no digits
// is 0), into `mark`; a negative mark ends the sequence.
FileHeader parseFileHeader(const char* payload, size_t length, char (&name)[kFileNameSize],
                           int& mark);

// Writes the header of `name` with `mark` into `payload` of `capacity` bytes
// and returns its length, or 0 when it does not fit.
size_t composeFileHeader(char* payload, size_t capacity, const char* name, int mark);

// Whether `name` may become the last component of a path on the target: it
// must not contain "/" and must not be "." or "..". (Empty names never become
// paths: only names ending in ".scr" do.)
bool isPlainFileName(const char* name);
