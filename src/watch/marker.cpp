#include "watch/marker.h"

#include <cstdio>
#include <cstdlib>
#include <fnmatch.h>
#include <string_view>

#include "watch/markerpattern.h"
#include "watch/names.h"

namespace {

constexpr size_t Sha256Digits = 64;

// The name without its last extension (a leading dot is no extension).
std::string stemOf(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// A whole number that must equal the file's count.
bool numberMatches(std::string_view value, long long actual) {
    const std::string text(value);
    char* end = nullptr;
    const long long said = strtoll(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && said == actual;
}

bool hexMatches(std::string_view value, const std::string& actual) {
    if (value.size() != Sha256Digits) return false;
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (c != actual[i]) return false;
    }
    return true;
}

// One line of the marker against the file.
bool lineMatches(std::string_view line, const FileDigest& file, std::string& reason) {
    const size_t equals = line.find('=');
    const std::string_view key = trimmed(line.substr(0, equals));
    const std::string_view value = equals == std::string_view::npos ? std::string_view() : trimmed(line.substr(equals + 1));
    char text[256];
    bool matches = false;
    if (key == "bytes") {
        matches = numberMatches(value, file.bytes);
        snprintf(text, sizeof text, "it has %lld bytes", file.bytes);
    } else if (key == "lines") {
        matches = numberMatches(value, file.lines);
        snprintf(text, sizeof text, "it has %lld lines", file.lines);
    } else if (key == "sha256") {
        matches = hexMatches(value, file.sha256);
        snprintf(text, sizeof text, "its SHA-256 is %s", file.sha256.c_str());
    } else {
        reason = "the marker holds a line that is none of bytes=, lines=, sha256=";
        return false;
    }
    if (!matches) {
        reason = "the file does not match its marker: the marker says " + shownName(std::string(line.substr(0, 100))) +
                 ", " + text;
    }
    return matches;
}

}  // namespace

std::string markerNameOf(const FileRule& rule, const std::string& name) {
    std::string_view field;
    const size_t at = markerFieldIn(rule.marker, field);
    if (at == std::string::npos) return rule.marker;
    const std::string value = field == MarkerNameField ? name : stemOf(name);
    return rule.marker.substr(0, at) + value + rule.marker.substr(at + field.size());
}

bool isMarkerName(const WatchConfig& config, const std::string& name) {
    for (const FileRule& rule : config.rules) {
        if (rule.marker.empty()) continue;
        std::string_view field;
        const size_t at = markerFieldIn(rule.marker, field);
        const std::string glob = rule.marker.substr(0, at) + "?*" + rule.marker.substr(at + field.size());
        if (fnmatch(glob.c_str(), name.c_str(), FNM_NOESCAPE | (rule.matchCase ? 0 : FNM_CASEFOLD)) == 0) return true;
    }
    return false;
}

bool fileMatchesMarker(const std::string& markerText, const FileDigest& file, std::string& reason) {
    std::string_view text = markerText;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && !lineMatches(line, file, reason)) return false;
    }
    return true;
}
