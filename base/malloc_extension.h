// MallocExtension: how the runtime talks to the allocator in use
// (statistics, thread idleness, release of memory, heap samples). The
// library carries only the default implementation, which knows nothing and
// does nothing; an allocator elsewhere in the process may Register its own.
// Every operation is also reachable through a C function
// (MallocExtension_GetOwnership, ...).
#ifndef BASE_MALLOC_EXTENSION_H_
#define BASE_MALLOC_EXTENSION_H_

#include <stddef.h>

#include <map>
#include <string>

#include "base/integral_types.h"

// Receives the text of heap samples.
class MallocExtensionWriter {
 public:
  virtual ~MallocExtensionWriter() = default;
  virtual void append(const char *data, int length) = 0;
};

// A heap profile handed out by an allocator: totals, a description and one
// entry per allocation stack.
class MallocExtensionProfile {
 public:
  struct Entry {
    int64 count;
    int64 bytes;
    int depth;
    void *const *stack;  // depth return addresses
  };
  virtual ~MallocExtensionProfile() = default;
  virtual int64 TotalCount() const = 0;
  virtual int64 TotalBytes() const = 0;
  virtual const char *Description() const = 0;
  virtual int NumEntries() const = 0;
  virtual Entry GetEntry(int i) const = 0;
};

// The system allocator an extension may delegate to.
class SysAllocator;

class MallocExtension {
 public:
  // What an allocator knows about a pointer.
  enum Ownership { kUnknownOwnership = 0, kOwned = 1, kNotOwned = 2 };
  // Profile kinds for ReadProfile.
  enum ProfileKind {
    kHeapProfile = 0,
    kGrowthProfile = 1,
    kFragmentationProfile = 2
  };

  virtual ~MallocExtension();

  virtual bool VerifyAllMemory();
  virtual bool VerifyNewMemory(const void *p);
  virtual bool VerifyArrayNewMemory(const void *p);
  virtual bool VerifyMallocMemory(const void *p);
  // Blocks and bytes in use and a histogram by size class (64 entries).
  virtual bool MallocMemoryStats(int *blocks, size_t *total, int histogram[64]);
  // Human-readable statistics into buffer (length > 0).
  virtual void GetStats(char *buffer, int buffer_length);
  virtual void GetHeapSample(MallocExtensionWriter *writer);
  virtual void GetHeapGrowthStacks(MallocExtensionWriter *writer);
  virtual void GetFragmentationProfile(MallocExtensionWriter *writer);
  virtual bool GetNumericProperty(const char *property, size_t *value);
  virtual bool SetNumericProperty(const char *property, size_t value);
  // The calling thread is about to block for a long time / is back.
  virtual void MarkThreadIdle();
  virtual void MarkThreadBusy();
  virtual size_t ReleaseCPUMemory(int cpu);
  virtual SysAllocator *GetSystemAllocator();
  virtual void SetSystemAllocator(SysAllocator *allocator);
  virtual void ReleaseToSystem(size_t num_bytes);
  virtual void ReleaseFreeMemory();
  virtual void SetMemoryReleaseRate(double rate);
  virtual double GetMemoryReleaseRate();
  virtual size_t GetEstimatedAllocatedSize(size_t size);
  virtual size_t GetAllocatedSize(const void *p);
  virtual Ownership GetOwnership(const void *p);
  virtual void GetProperties(std::map<std::string, size_t> *properties);
  // A profile of the given kind (caller deletes it), or null.
  virtual MallocExtensionProfile *ReadProfile(ProfileKind kind);

  // The current instance; the default one until Register is called.
  static MallocExtension *instance();
  // Makes `extension` current (it is never destroyed). Ignored under
  // Valgrind, whose allocator the default extension describes best.
  static void Register(MallocExtension *extension);

 private:
  void WriteProfile(ProfileKind kind, const char *name,
                    MallocExtensionWriter *writer);
};

// The same operations on the current instance, for C callers.
extern "C" {
int MallocExtension_VerifyAllMemory();
int MallocExtension_VerifyNewMemory(const void *p);
int MallocExtension_VerifyArrayNewMemory(const void *p);
int MallocExtension_VerifyMallocMemory(const void *p);
int MallocExtension_MallocMemoryStats(int *blocks, size_t *total,
                                      int histogram[64]);
void MallocExtension_GetStats(char *buffer, int length);
int MallocExtension_GetNumericProperty(const char *property, size_t *value);
int MallocExtension_SetNumericProperty(const char *property, size_t value);
void MallocExtension_MarkThreadIdle();
void MallocExtension_MarkThreadBusy();
void MallocExtension_ReleaseFreeMemory();
void MallocExtension_ReleaseToSystem(size_t num_bytes);
size_t MallocExtension_GetEstimatedAllocatedSize(size_t size);
size_t MallocExtension_GetAllocatedSize(const void *p);
int MallocExtension_GetOwnership(const void *p);
}

#endif  // BASE_MALLOC_EXTENSION_H_
