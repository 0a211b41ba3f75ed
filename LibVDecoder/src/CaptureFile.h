// Debug capture: encoded frames appended to files while a capture folder exists beside the
// host executable ("raw-avfile/": plain; "raw-lenavfile/": each frame after its 4-byte length).
#pragma once

#include <cstdint>
#include <string>

// Decoder thread. Appends the frame to the file `name` in the capture folder, when one exists;
// silently skips a file that cannot be written.
void WriteCaptureFile(const uint8_t* data, int length, const std::wstring& name);

// Tests only: the folder that stands for the host executable's (empty: the real one again).
void SetCaptureBaseForTesting(const std::string& folder);
