#include "batch/arrow_field.h"

namespace batch {

namespace {

// Where an empty buffer points: a reader may take a null pointer for a
// buffer of its type as a fault.
const std::int64_t kNoValues[1] = {0};

// What an exported schema owns: its name and its children, which it
// releases with itself (a reader may have moved one out and released it
// already).
struct ExportedSchema {
  explicit ExportedSchema(std::size_t children) : children(children), child_pointers(children) {}
  ~ExportedSchema() {
    for (ArrowSchema& child : children) {
      if (child.release != nullptr) child.release(&child);
    }
  }
  std::string name;
  std::vector<ArrowSchema> children;  // value-initialised: not yet exported, release null
  std::vector<ArrowSchema*> child_pointers;
};

void release_schema(ArrowSchema* schema) {
  delete static_cast<ExportedSchema*>(schema->private_data);
  schema->release = nullptr;
}

// What an exported array owns: a share of each of its buffers, and its
// children, each holding its own shares, so that a child a reader moved
// out outlives its parent.
struct ExportedArray {
  explicit ExportedArray(std::size_t children) : children(children), child_pointers(children) {}
  ~ExportedArray() {
    for (ArrowArray& child : children) {
      if (child.release != nullptr) child.release(&child);
    }
  }
  std::vector<std::shared_ptr<const Buffer>> buffers;
  std::vector<const void*> pointers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* array) {
  delete static_cast<ExportedArray*>(array->private_data);
  array->release = nullptr;
}

}  // namespace

ArrowField ArrowField::strings(std::string name, StringColumn&& column, Validity validity) {
  ArrowField field(std::move(name), "U", static_cast<std::int64_t>(column.offsets.size()) - 1, std::move(validity));
  field.buffers_.push_back(buffer_of(std::move(column.offsets)));
  field.buffers_.push_back(buffer_of(std::move(column.data)));
  return field;
}

ArrowField ArrowField::int64s(std::string name, Int64Column&& values) {
  ArrowField field(std::move(name), "l", static_cast<std::int64_t>(values.size()), {});
  field.buffers_.push_back(buffer_of(std::move(values)));
  return field;
}

ArrowField ArrowField::list(std::string name, Offsets&& offsets, ArrowField item, Validity validity) {
  ArrowField field(std::move(name), "+L", static_cast<std::int64_t>(offsets.size()) - 1, std::move(validity));
  field.buffers_.push_back(buffer_of(std::move(offsets)));
  field.children_.push_back(std::move(item));
  return field;
}

ArrowField ArrowField::structure(std::string name, std::int64_t length, std::vector<ArrowField> fields) {
  ArrowField field(std::move(name), "+s", length, {});
  field.children_ = std::move(fields);
  return field;
}

ArrowField ArrowField::map(std::string name, MapOffsets&& offsets, StringColumn&& keys, StringColumn&& values,
                           Validity value_validity) {
  const auto entries = static_cast<std::int64_t>(keys.offsets.size()) - 1;
  ArrowField key = strings("key", std::move(keys));
  key.nullable_ = false;
  ArrowField pairs = structure("entries", entries, {std::move(key), strings("value", std::move(values),
                                                                            std::move(value_validity))});
  pairs.nullable_ = false;
  ArrowField field(std::move(name), "+m", static_cast<std::int64_t>(offsets.size()) - 1, {});
  field.buffers_.push_back(buffer_of(std::move(offsets)));
  field.children_.push_back(std::move(pairs));
  return field;
}

void ArrowField::export_schema(ArrowSchema* out) const {
  auto exported = std::make_unique<ExportedSchema>(children_.size());
  exported->name = name_;
  for (std::size_t i = 0; i < children_.size(); ++i) {
    children_[i].export_schema(&exported->children[i]);
    exported->child_pointers[i] = &exported->children[i];
  }
  *out = ArrowSchema{format_,
                     exported->name.c_str(),
                     nullptr,
                     nullable_ ? ARROW_FLAG_NULLABLE : 0,
                     static_cast<std::int64_t>(children_.size()),
                     exported->child_pointers.data(),
                     nullptr,
                     release_schema,
                     exported.get()};
  exported.release();
}

void ArrowField::export_array(ArrowArray* out) const {
  auto exported = std::make_unique<ExportedArray>(children_.size());
  exported->buffers = buffers_;
  for (std::size_t i = 0; i < buffers_.size(); ++i) {
    const Buffer* buffer = buffers_[i].get();
    const void* data = buffer == nullptr ? nullptr : buffer->data();
    // Only the validity bitmap may be missing; other buffers of no values
    // still need an address.
    exported->pointers.push_back(i != 0 && data == nullptr ? kNoValues : data);
  }
  for (std::size_t i = 0; i < children_.size(); ++i) {
    children_[i].export_array(&exported->children[i]);
    exported->child_pointers[i] = &exported->children[i];
  }
  *out = ArrowArray{length_,
                    null_count_,
                    0,
                    static_cast<std::int64_t>(exported->pointers.size()),
                    static_cast<std::int64_t>(children_.size()),
                    exported->pointers.data(),
                    exported->child_pointers.data(),
                    nullptr,
                    release_array,
                    exported.get()};
  exported.release();
}

}  // namespace batch
