#include "base/malloc_extension.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include <limits>
#include <new>

#include "base/atomicops.h"
#include "base/dynamic_annotations.h"
#include "base/logging.h"
#include "base/sysinfo.h"

namespace {

MallocExtension *volatile current_instance = nullptr;
pthread_once_t default_instance_once = PTHREAD_ONCE_INIT;

// Never destroyed, so that calls during exit still find it.
alignas(MallocExtension) char default_instance_storage[sizeof(MallocExtension)];

void InitDefaultInstance() {
  MallocExtension *instance = new (default_instance_storage) MallocExtension;
  if (base::subtle::Acquire_Load(&current_instance) == nullptr) {
    base::subtle::Release_Store(&current_instance, instance);
  }
}

void Append(MallocExtensionWriter *writer, const char *text) {
  writer->append(text, static_cast<int>(strlen(text)));
}

void AppendCounts(MallocExtensionWriter *writer, int64 count, int64 bytes) {
  char line[128];
  snprintf(line, sizeof line, "%6lld: %8lld [%6lld: %8lld] @",
           static_cast<long long>(count), static_cast<long long>(bytes),
           static_cast<long long>(count), static_cast<long long>(bytes));
  Append(writer, line);
}

// The executable mappings of the process, one maps line each.
void AppendMemoryMap(MallocExtensionWriter *writer) {
  Append(writer, "--- Memory map: ---\n");
  ProcMapsIterator::Buffer buffer;
  ProcMapsIterator it(0, &buffer);
  uint64 start, end, offset;
  int64 inode;
  char *flags, *filename;
  dev_t dev;
  while (it.NextExt(&start, &end, &flags, &offset, &inode, &filename, nullptr,
                    nullptr, nullptr, nullptr, &dev)) {
    if (strlen(flags) < 3 || flags[2] != 'x') continue;
    char line[5120];
    int n = ProcMapsIterator::FormatLine(line, sizeof line, start, end, flags,
                                         offset, inode, filename, dev);
    if (n > 0) writer->append(line, n);
  }
}

}  // namespace

MallocExtension::~MallocExtension() = default;
bool MallocExtension::VerifyAllMemory() { return true; }
bool MallocExtension::VerifyNewMemory(const void *) { return true; }
bool MallocExtension::VerifyArrayNewMemory(const void *) { return true; }
bool MallocExtension::VerifyMallocMemory(const void *) { return true; }

bool MallocExtension::MallocMemoryStats(int *blocks, size_t *total,
                                        int histogram[64]) {
  *blocks = 0;
  *total = 0;
  for (int i = 0; i < 64; i++) histogram[i] = 0;
  return true;
}

void MallocExtension::GetStats(char *buffer, int length) {
  CHECK(length > 0);
  buffer[0] = '\0';
}

void MallocExtension::GetHeapSample(MallocExtensionWriter *writer) {
  WriteProfile(kHeapProfile, "heapz", writer);
}
void MallocExtension::GetHeapGrowthStacks(MallocExtensionWriter *writer) {
  WriteProfile(kGrowthProfile, "growthz", writer);
}
void MallocExtension::GetFragmentationProfile(MallocExtensionWriter *writer) {
  WriteProfile(kFragmentationProfile, "fragmentationz", writer);
}

bool MallocExtension::GetNumericProperty(const char *, size_t *) {
  return false;
}
bool MallocExtension::SetNumericProperty(const char *, size_t) { return false; }
void MallocExtension::MarkThreadIdle() {}
void MallocExtension::MarkThreadBusy() {}
size_t MallocExtension::ReleaseCPUMemory(int) { return 0; }
SysAllocator *MallocExtension::GetSystemAllocator() { return nullptr; }
void MallocExtension::SetSystemAllocator(SysAllocator *) {}
void MallocExtension::ReleaseToSystem(size_t) {}
void MallocExtension::ReleaseFreeMemory() {
  ReleaseToSystem(std::numeric_limits<size_t>::max());
}
void MallocExtension::SetMemoryReleaseRate(double) {}
double MallocExtension::GetMemoryReleaseRate() { return -1.0; }
size_t MallocExtension::GetEstimatedAllocatedSize(size_t size) { return size; }

size_t MallocExtension::GetAllocatedSize(const void *p) {
  CHECK(GetOwnership(p) != kNotOwned);
  return 0;
}

MallocExtension::Ownership MallocExtension::GetOwnership(const void *) {
  return kUnknownOwnership;
}

void MallocExtension::GetProperties(std::map<std::string, size_t> *properties) {
  properties->clear();
}

MallocExtensionProfile *MallocExtension::ReadProfile(ProfileKind) {
  return nullptr;
}

void MallocExtension::WriteProfile(ProfileKind kind, const char *name,
                                   MallocExtensionWriter *writer) {
  MallocExtensionProfile *profile = ReadProfile(kind);
  if (profile == nullptr) {
    Append(writer, name);
    Append(writer,
           " profiles not supported by this malloc implementation.\n"
           "Profiles come from the allocator in use; link the program with "
           "an allocator that records allocation stacks and registers its "
           "extension to get them.\n");
    return;
  }
  Append(writer, "heap profile: ");
  AppendCounts(writer, profile->TotalCount(), profile->TotalBytes());
  Append(writer, " ");
  Append(writer, profile->Description());
  Append(writer, "\n");
  for (int i = 0; i < profile->NumEntries(); i++) {
    MallocExtensionProfile::Entry entry = profile->GetEntry(i);
    AppendCounts(writer, entry.count, entry.bytes);
    for (int d = 0; d < entry.depth; d++) {
      char address[32];
      snprintf(address, sizeof address, " %p", entry.stack[d]);
      Append(writer, address);
    }
    Append(writer, "\n");
  }
  AppendMemoryMap(writer);
  delete profile;
}

MallocExtension *MallocExtension::instance() {
  pthread_once(&default_instance_once, InitDefaultInstance);
  return base::subtle::Acquire_Load(&current_instance);
}

void MallocExtension::Register(MallocExtension *extension) {
  pthread_once(&default_instance_once, InitDefaultInstance);
  if (RunningOnValgrind()) return;
  base::subtle::Release_Store(&current_instance, extension);
}

// ---- The C interface ----

extern "C" {

int MallocExtension_VerifyAllMemory() {
  return MallocExtension::instance()->VerifyAllMemory();
}
int MallocExtension_VerifyNewMemory(const void *p) {
  return MallocExtension::instance()->VerifyNewMemory(p);
}
int MallocExtension_VerifyArrayNewMemory(const void *p) {
  return MallocExtension::instance()->VerifyArrayNewMemory(p);
}
int MallocExtension_VerifyMallocMemory(const void *p) {
  return MallocExtension::instance()->VerifyMallocMemory(p);
}
int MallocExtension_MallocMemoryStats(int *blocks, size_t *total,
                                      int histogram[64]) {
  return MallocExtension::instance()->MallocMemoryStats(blocks, total,
                                                        histogram);
}
void MallocExtension_GetStats(char *buffer, int length) {
  MallocExtension::instance()->GetStats(buffer, length);
}
int MallocExtension_GetNumericProperty(const char *property, size_t *value) {
  return MallocExtension::instance()->GetNumericProperty(property, value);
}
int MallocExtension_SetNumericProperty(const char *property, size_t value) {
  return MallocExtension::instance()->SetNumericProperty(property, value);
}
void MallocExtension_MarkThreadIdle() {
  MallocExtension::instance()->MarkThreadIdle();
}
void MallocExtension_MarkThreadBusy() {
  MallocExtension::instance()->MarkThreadBusy();
}
void MallocExtension_ReleaseFreeMemory() {
  MallocExtension::instance()->ReleaseFreeMemory();
}
void MallocExtension_ReleaseToSystem(size_t num_bytes) {
  MallocExtension::instance()->ReleaseToSystem(num_bytes);
}
size_t MallocExtension_GetEstimatedAllocatedSize(size_t size) {
  return MallocExtension::instance()->GetEstimatedAllocatedSize(size);
}
size_t MallocExtension_GetAllocatedSize(const void *p) {
  return MallocExtension::instance()->GetAllocatedSize(p);
}
int MallocExtension_GetOwnership(const void *p) {
  return MallocExtension::instance()->GetOwnership(p);
}

}  // extern "C"
