// Replaced by the package library.
