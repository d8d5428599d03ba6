// Module initializers: work a module needs done at start-up, after the
// command line is parsed, rather than during static initialization.
//
//   REGISTER_MODULE_INITIALIZER(my_module, { BuildTables(); });
//
// defines tavro_init_module_my_module(), which runs the body. The start-up
// sequence runs every registered module initializer once; inside a JVM none
// of them runs, so modules work without theirs (with their defaults).
//
// For now registration only defines the function; the registry with
// dependencies and the start-up run replace the macro's body.
#ifndef BASE_TAVROINIT_H_
#define BASE_TAVROINIT_H_

#define REGISTER_MODULE_INITIALIZER(name, body) \
  void tavro_init_module_##name() { body; }

#endif  // BASE_TAVROINIT_H_
