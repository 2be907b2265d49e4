#pragma once
// The document name the printer is told, from the job's title.

#include <cstddef>

#include "Log.h"

inline constexpr size_t DOC_NAME_BUFFER_SIZE = 256;

// Reduces a job title to the document name (directory dropped, words after the
// extension cut) in the caller's zero-filled DOC_NAME_BUFFER_SIZE buffer.
void getDocumenName(const char *title, char **docName, const JobLog &log);
