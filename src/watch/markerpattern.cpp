#include "watch/markerpattern.h"

size_t markerFieldIn(const std::string& pattern, std::string_view& field) {
    size_t at = pattern.find(MarkerNameField);
    field = MarkerNameField;
    if (at == std::string::npos) {
        at = pattern.find(MarkerStemField);
        field = MarkerStemField;
    }
    return at;
}

bool isMarkerPattern(const std::string& pattern) {
    std::string_view field;
    const size_t at = markerFieldIn(pattern, field);
    if (at == std::string::npos || pattern.size() == field.size()) return false;
    const std::string rest = pattern.substr(0, at) + pattern.substr(at + field.size());
    return rest.find(MarkerNameField) == std::string::npos && rest.find(MarkerStemField) == std::string::npos &&
           rest.find('/') == std::string::npos && rest.find_first_of("*?[") == std::string::npos;
}
