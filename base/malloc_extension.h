// MallocExtension: how the runtime talks to the allocator in use. The
// library carries only the default implementation, which does nothing; an
// allocator elsewhere in the process may Register its own.
//
// So far only the calls the runtime itself makes are here: a thread that
// sleeps long in a lock tells the allocator it is idle (so per-thread caches
// may be trimmed) and busy again when it wakes.
#ifndef BASE_MALLOC_EXTENSION_H_
#define BASE_MALLOC_EXTENSION_H_

class MallocExtension {
 public:
  virtual ~MallocExtension();

  virtual void MarkThreadIdle();
  virtual void MarkThreadBusy();

  // The current instance; the default one until Register is called.
  static MallocExtension* instance();
  // Makes `extension` current (it is never destroyed).
  static void Register(MallocExtension* extension);
};

#endif  // BASE_MALLOC_EXTENSION_H_
