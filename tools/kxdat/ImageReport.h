// What the updater would make of a firmware image file, in words.
#pragma once

#include <string>

// The report of "kxdat show": the file's size, its header fields, the data bytes it
// holds, whether the updater accepts it (and if not, why), and for an accepted image the
// confirmation text the updater asks with and the version it shows once the receiver
// runs the image. Lines end with a line feed. *accepted tells whether the updater would
// send it.
std::wstring DescribeImage(const std::wstring& path, bool* accepted);
