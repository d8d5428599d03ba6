// MemBlock: a block of bytes handed from one owner to another (a codec to a
// sink, a sink to a Cord). The block remembers the data it was built over
// (orig_data(), orig_length()) even after its view is narrowed, and can be
// locked into memory. Subclasses decide how the bytes are released:
// NewedMemBlock frees an array allocated with new[].
#ifndef STRINGS_MEMBLOCK_H_
#define STRINGS_MEMBLOCK_H_

#include <cstddef>
#include <string>

class MemBlock {
 public:
  MemBlock(char* data, size_t length)
      : data_(data), length_(length), orig_data_(data), orig_length_(length) {}
  virtual ~MemBlock();
  MemBlock(const MemBlock&) = delete;
  MemBlock& operator=(const MemBlock&) = delete;

  // Locks the original range into memory; true on success.
  virtual bool MLockGeneral();
  // Undoes MLockGeneral; does nothing when the block is not locked.
  virtual void MUnlock();
  // Touches every page of the block so that later reads do not fault.
  virtual void GetDataIntoMemory();
  // Appends a one-line description of the block to *out.
  virtual void GetStats(std::string* out) const;

  char* data() const { return data_; }
  size_t length() const { return length_; }
  char* orig_data() const { return orig_data_; }
  size_t orig_length() const { return orig_length_; }
  bool locked() const { return locked_; }

  // Narrows the view to [data, data + length), which must lie inside the
  // original range.
  void set_view(char* data, size_t length);

 private:
  char* data_;
  size_t length_;
  char* const orig_data_;
  const size_t orig_length_;
  bool locked_ = false;
};

// A block over an array allocated with new char[]; deletes it.
class NewedMemBlock : public MemBlock {
 public:
  NewedMemBlock(char* data, size_t length) : MemBlock(data, length) {}
  // Allocates a fresh array of the given length.
  explicit NewedMemBlock(size_t length)
      : MemBlock(new char[length], length) {}
  ~NewedMemBlock() override;
};

#endif  // STRINGS_MEMBLOCK_H_
