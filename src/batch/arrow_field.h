// An Arrow field with its values, built over buffers it takes over, and
// handed to Arrow readers through the C data interface without a copy: the
// reader's array keeps the buffers for as long as it needs them, and frees
// them, from whatever thread, when it is done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "batch/arrow_c_data.h"
#include "batch/chunk_builder.h"

namespace batch {

// Memory a field's values lie in, whatever container held it.
class Buffer {
 public:
  virtual ~Buffer() = default;
  virtual const void* data() const noexcept = 0;
};

// A buffer taking over `values`: a std::vector or a PodVector.
template <class Values>
std::shared_ptr<const Buffer> buffer_of(Values&& values) {
  struct Held final : Buffer {
    explicit Held(Values&& taken) noexcept : values(std::move(taken)) {}
    const void* data() const noexcept override { return values.data(); }
    Values values;
  };
  static_assert(!std::is_lvalue_reference_v<Values>, "a buffer takes its values over");
  return std::make_shared<const Held>(std::move(values));
}

// Which values of a field are null: a validity bitmap (shared, since the
// row-level columns are null together) and how many; none by default.
struct Validity {
  std::shared_ptr<const Buffer> bitmap;
  std::int64_t nulls = 0;
};

class ArrowField {
 public:
  // The types the output uses, each over the buffers Arrow lays it out in.
  static ArrowField strings(std::string name, StringColumn&& column, Validity validity = {});  // large_string
  static ArrowField int64s(std::string name, Int64Column&& values);
  static ArrowField list(std::string name, Offsets&& offsets, ArrowField item, Validity validity = {});  // large_list
  static ArrowField structure(std::string name, std::int64_t length, std::vector<ArrowField> fields);
  // map<large_string, large_string>: `keys` and `values` hold every entry
  // of every map in turn; `offsets` where each map's begin.
  static ArrowField map(std::string name, MapOffsets&& offsets, StringColumn&& keys, StringColumn&& values,
                        Validity value_validity);

  const std::string& name() const noexcept { return name_; }

  // Fill `out` (whose release is null) with this field's type, or with a
  // new array sharing its buffers. Throw std::bad_alloc, leaving `out` as
  // it was.
  void export_schema(ArrowSchema* out) const;
  void export_array(ArrowArray* out) const;

 private:
  ArrowField(std::string name, const char* format, std::int64_t length, Validity validity)
      : name_(std::move(name)), format_(format), length_(length), null_count_(validity.nulls) {
    buffers_.push_back(std::move(validity.bitmap));
  }

  std::string name_;
  const char* format_;
  std::int64_t length_;
  std::int64_t null_count_;
  bool nullable_ = true;  // a map's entries and keys are not
  std::vector<std::shared_ptr<const Buffer>> buffers_;  // the validity bitmap first (null: none)
  std::vector<ArrowField> children_;
};

}  // namespace batch
