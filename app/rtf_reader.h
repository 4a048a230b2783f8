// A small reader of Rich Text Format into the HTML subset that Qt's rich
// text shows: groups, control words and symbols, \'hh and \u escapes, font
// and colour tables, bold, italic, underline, font size, colour, paragraphs,
// line breaks, tabs and alignment. Unknown destinations are skipped. Any
// input gives some output: a damaged file shows what could be read.
#pragma once

#include <string>
#include <string_view>

std::string RtfToHtml(std::string_view rtf);
