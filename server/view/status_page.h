#pragma once
// The status page's files, served as they are: the page, its style and its
// script, which reads /status.json once a second and fills the table.
// Nothing is fetched from anywhere else, and whatever the machines sent is
// put into the page as text (textContent), never as markup.

#include <cstddef>

struct PageFile {
  const char* path;         // "/", "/status.css", "/status.js"
  const char* contentType;
  const char* body;
};

// The file served at `path`, or null.
const PageFile* findPageFile(const char* path);
