#pragma once
// The JSON document of a workbook: compact, keys in a fixed order, numbers in the document's
// layout, date-times with 'T', written in one pass into one buffer.
#include <string>

#include "json/buffer.hpp"
#include "structs/book.hpp"

namespace tbx::json {

// Writes the whole document of `book` into `out`, taking the book's, each sheet's and each
// cell's and comment's read lock in that order. Returns false (with `error` set) when the
// document cannot be written; nothing partial is kept then.
bool write_book(const Book& book, Buffer& out, std::string& error);

// A size the document of `book` will most likely not exceed, to size the output once.
size_t estimated_size(const Book& book);

}  // namespace tbx::json
