#include "package/notebook_html.h"

#include <string>
#include <string_view>

#include "package/record_types.h"
#include "python_glue/py_errors.h"
#include "python_glue/py_ref.h"
#include "python_glue/py_text.h"

namespace package {

using python_glue::guarded;
using python_glue::PyRef;

namespace {

// The text as HTML for a notebook: annotated stretches highlighted, each
// followed by its tags, markers shown where they stand, attributes in the
// tooltips.
void append_escaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
}

std::string utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  return data == nullptr ? std::string() : std::string(data, static_cast<std::size_t>(size));
}

// "tag" or "tag key=value key", for labels and tooltips.
std::string describe(PyObject* annotation) {
  std::string out;
  PyRef tag(annotation_tag(annotation, nullptr));
  PyRef attrs(annotation_attrs(annotation, nullptr));
  if (!tag || !attrs) return out;
  out = utf8_of(tag.get());
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (Py_ssize_t pos = 0; PyDict_Next(attrs.get(), &pos, &key, &value);) {
    out += ' ';
    out += utf8_of(key);
    if (value != Py_None) {
      out += '=';
      out += utf8_of(value);
    }
  }
  return out;
}

const char* colour_of(std::string_view tag) {
  static constexpr const char* kColours[] = {"#ffe08a", "#b5e6b5", "#bcd7f5", "#f5c6d9", "#e3d0f7", "#fcd3b0"};
  std::size_t h = 0;
  for (const char c : tag) h = h * 31 + static_cast<unsigned char>(c);
  return kColours[h % (sizeof kColours / sizeof kColours[0])];
}

}  // namespace

PyObject* text_repr_html(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    Run& run = run_of(self);
    std::string html = "<div class=\"tagmire-parsed\" style=\"white-space: pre-wrap; line-height: 1.7\">";
    const std::size_t markers = marker_count(run);
    std::size_t next_marker = 0;
    const auto place_markers = [&](std::size_t up_to_char) -> bool {
      for (; next_marker < markers && marker_position(run, next_marker).second <= up_to_char; ++next_marker) {
        PyRef annotation(marker_annotation(self, next_marker));
        if (!annotation) return false;
        const std::string label = describe(annotation.get());
        html += "<sup style=\"color:#8a5a00\" title=\"";
        append_escaped(html, label);
        html += "\">&#9670;";
        append_escaped(html, label.substr(0, label.find(' ')));
        html += "</sup>";
      }
      return true;
    };
    for (std::size_t i = 0; i < segment_count(run); ++i) {
      const Bounds b = segment_bounds(run, i);
      if (!place_markers(b.char_start)) return nullptr;
      PyRef piece(PyUnicode_Substring(run.text.get(), static_cast<Py_ssize_t>(b.char_start),
                                      static_cast<Py_ssize_t>(b.char_end)));
      PyRef annotations(segment_annotations(self, i));
      if (!piece || !annotations) return nullptr;
      const Py_ssize_t count = PyTuple_GET_SIZE(annotations.get());
      if (count == 0) {
        append_escaped(html, utf8_of(piece.get()));
        continue;
      }
      std::string tags;
      std::string titles;
      for (Py_ssize_t k = 0; k < count; ++k) {
        const std::string label = describe(PyTuple_GET_ITEM(annotations.get(), k));
        tags += (k ? ", " : "") + label.substr(0, label.find(' '));
        titles += (k ? "; " : "") + label;
      }
      html += "<mark style=\"background:";
      html += colour_of(tags.substr(0, tags.find(',')));
      html += "\" title=\"";
      append_escaped(html, titles);
      html += "\">";
      append_escaped(html, utf8_of(piece.get()));
      html += "</mark><sub style=\"color:#666; font-size:70%\">";
      append_escaped(html, tags);
      html += "</sub>";
    }
    if (!place_markers(kUnknown)) return nullptr;
    html += "</div>";
    return python_glue::make_str(html);
  });
}

}  // namespace package
