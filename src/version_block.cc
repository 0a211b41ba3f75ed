// The module's version strings, kept in a section of their own so that GetFileVerInfo can read
// them back from the file.
#include "file/FileVersion.h"

#define PELLION_VERSION_ENTRY(key, value) key "\0" value "\0"

__attribute__((used, section(".norv_version"))) static const char kVersionBlock[] =
    PELLION_VERSION_ENTRY("CompanyName", "NORV") PELLION_VERSION_ENTRY("ProductName", "Pellion")
        PELLION_VERSION_ENTRY("OriginalFilename", "Pellion.so")
            PELLION_VERSION_ENTRY("ProductVersion", PELLION_VERSION_STRING)
                PELLION_VERSION_ENTRY("FileVersion", PELLION_VERSION_STRING)
                    PELLION_VERSION_ENTRY("FileDescription", "Pellion video channel plug-in")
                        PELLION_VERSION_ENTRY("InternalName", "Pellion")
                            PELLION_VERSION_ENTRY("LegalCopyright", "Copyright (C) 2026 NORV");
