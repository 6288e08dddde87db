// Small file routines shared by the HTTPS exchanges.
#pragma once

#include <cstddef>
#include <cstdio>

// The exact header line that announces a multipart body (81 bytes).
constexpr const char kMultipartHeaderLine[] =
    "Content-Type: multipart/form-data; boundary=-------------------------7d38f60708\r\n";

// Writes the multipart header line into path (created or truncated as a
// private temporary file). 1 on success, 0 when it cannot be written.
int writeMulitpartHeader(const char* path);

// Opens a temporary file of a fixed name for writing: created with mode
// 0600 or truncated, never through a symbolic link planted at that name
// (fails instead). Returns a stream for "w" use, or NULL.
FILE* https_create_private_file(const char* path);
