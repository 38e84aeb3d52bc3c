// Site configuration bodies for tests, encoded with the build's key.
#pragma once

#include "retrieval/site_config.h"

#include <cstdio>
#include <string>

// Encodes a line that must be encodable.
inline std::string Encoded(const std::string& plain) {
    char field[SITE_FIELD_SIZE];
    snprintf(field, sizeof field, "%s", plain.c_str());
    return EncodeConfigLine(field) ? std::string(field) : std::string("<not encodable>");
}

// The text with each character the build's key cannot carry replaced by a
// neighbour, so that tests hold for any key.
inline std::string Encodable(std::string text) {
    for (size_t i = 0; i < text.size(); ++i) {
        for (int tries = 0; tries < 8; ++tries) {
            std::string probe = text.substr(0, i + 1);
            char field[SITE_FIELD_SIZE];
            snprintf(field, sizeof field, "%s", probe.c_str());
            if (EncodeConfigLine(field)) {
                break;
            }
            text[i] = static_cast<char>(text[i] + 1);
        }
    }
    return text;
}

inline std::string ConfigBody(const std::string& user, const std::string& password, const std::string& host,
                              const std::string& lineEnd = "\n") {
    return "Tallywise site" + lineEnd + Encoded(user) + lineEnd + Encoded(password) + lineEnd +
           Encoded(host) + lineEnd + "five" + lineEnd + "six" + lineEnd;
}
