// Reading the answer that the fetch tool left in its output file.
//
// The first line is the status line; its leading number becomes the HTTPS
// result code (999 when the line is empty or starts without a number). The
// rest of the file is the answer's body. Every parser deletes the output
// file when it is done with it, so stale answers never linger.
#pragma once

#include <cstddef>

// Bounds on what the agent takes from an answer. Lines are read in pieces
// of at most kAnswerLineMax bytes. A configuration answer longer than
// kConfigAnswerMax fails as a whole; an extension text is cut after
// kExtensionTextMax bytes.
constexpr size_t kAnswerLineMax = 4096;
constexpr size_t kConfigAnswerMax = 1024 * 1024;
constexpr size_t kExtensionTextMax = 128 * 1024;

// 1 when the status is 200, else 0. code (may be NULL) gets the status; it
// keeps its value when the output file cannot be opened.
int vantor_https_parse_response(const char* output_path, int* code);

// 1 for 200 (result_path untouched), or for 302 with the body copied
// unchanged into result_path (at most kExtensionTextMax bytes); else 0.
int vantor_https_parse_extension(const char* output_path, const char* result_path, int* code);

// 1 for 200 (config_path untouched), or for 301/302 with the body up to a
// line that begins with "ENDOFFILE" (not copied), or up to the end of the
// answer, put in place of config_path as a whole (a new file renamed over
// it). An answer longer than kConfigAnswerMax, one that cannot be read to
// its end, or one that cannot be written whole gives 0 and leaves
// config_path as it was.
int vantor_https_parse_config(const char* output_path, const char* config_path, int* code);

// The code of a status line: its leading integer, or 999 when that is 0.
int https_status_code(const char* status_line);
