// Reading the ISP extension information that the server sends.
//
// The text is a sequence of sections, each beginning where
// "CUSTOM_MESSAGE_NAME" occurs; values are lines of the form key="value".
// The first section that carries an ISP_DEFAULT_URL is the extension to
// apply. Returned texts are malloc'd; the caller frees them.
#pragma once

// The text after the first occurrence of key, up to the first CR LF after
// it (else the first LF, else the end). NULL when key does not occur.
char* getvalue(const char* text, const char* key);

// getvalue without a closing double quote at the end of the value.
char* getquotedvalue(const char* text, const char* key);

// 1 when a section with an ISP default URL was found: name, url and
// apply_now receive new texts (NULL for a value not found in that section).
// 0 otherwise, storing nothing. At most 100 sections are looked at, and a
// section is cut to 999 bytes.
int get_isp_information(const char* text, char** name, char** url, char** apply_now);
