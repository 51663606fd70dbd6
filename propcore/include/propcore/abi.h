// C ABI of the property engine library (libqrPropCore.so) and of the name
// translation library (libkvheap.so).
//
// Conventions at this boundary only: every argument is passed by reference;
// integers are 64-bit; character arguments are fixed-length, blank-padded,
// non-terminated fields whose lengths are passed *by value* as trailing
// int64_t arguments, in the order of the fields (gfortran style).
//
// The engine's own unit of temperature is the kelvin; pressures are in Pa
// (N/m2).  The missing-value marker is 1e38.
#ifndef PROPCORE_ABI_H
#define PROPCORE_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PROPCORE_EXPORT __attribute__((visibility("default")))

// Engine flash codes (first argument of CALL_PPFLASH).
//   1 = P and zero duty (unsupported, error 3)
//   2 = T and P (isothermal)
//   3 = P and vapour fraction
//   4 = T and zero duty (unsupported, error 3)
//   5 = T and vapour fraction
//
// Error values: 0 success; positive = not converged / unsupported;
// negative = fatal (no problem open, bad arguments, unknown component).
//
// Argument list (29):
//  1 code, 2 spec1, 3 spec2, 4 z[n], 5 n, 6 idx[n] (1-based engine indices),
//  7 phase setting (2 = VL, 3 = VLL), 8 reserved (0), 9 max iterations,
// 10 tolerance, 11 method index, 12 ctx2, 13 ctx3, 14 reserved (1),
// 15 T (out), 16 P (out), 17 scalar out (unused), 18 vapour fraction (out),
// 19 scalar result (out: fraction of liquid that is liquid 2),
// 20 x[n] overall liquid, 21 x1[n], 22 x2[n], 23 y[n],
// 24 work[100], 25 work[100], 26 start mode (1 restart, 2 continue),
// 27 work[500], 28 scalar out (unused), 29 error (out)
PROPCORE_EXPORT void CALL_PPFLASH(const int64_t* code, const double* spec1, const double* spec2,
                                  const double* z, const int64_t* n, const int64_t* idx,
                                  const int64_t* phase, const int64_t* reserved8,
                                  const int64_t* maxit, const double* tol, const int64_t* method,
                                  const int64_t* ctx2, const int64_t* ctx3,
                                  const int64_t* reserved14, double* T, double* P, double* out17,
                                  double* vf, double* result, double* x, double* x1, double* x2,
                                  double* y, double* work24, double* work25,
                                  const int64_t* start, double* work27, double* out28,
                                  int64_t* err);

// Current context: method index, two context values, iteration limit, tolerance.
PROPCORE_EXPORT void GETCSP(int64_t* method, int64_t* ctx2, int64_t* ctx3, int64_t* maxit,
                            double* tol);

// Index (1-based) of a property method by its 8-character name; 0 when unknown.
PROPCORE_EXPORT void CALL_FIOPST(const char* name8, int64_t* method);

// Global method fallback: leaves a usable method index in *method (the
// problem's default method when name8 is unknown); 0 when no problem is open.
PROPCORE_EXPORT void CALL_GLBOPS(int64_t* method, const char* name8);

// Component index (1-based) of an ID compared on its first len characters
// (at most 8); 0 when not found.  *second receives the component count.
PROPCORE_EXPORT void CALL_PPGIDX(const char* id, int64_t* index, int64_t* second, int64_t len);

// mode 0: *count = number of components.  mode 1: item *item (1-based):
// ID, name, formula field, normal boiling point estimate (d1), molecular
// weight (mw); o1 = 1 when found; o2 unused.
PROPCORE_EXPORT void CALL_COMPQRY(const int64_t* mode, const int64_t* item, int64_t* count,
                                  char* id, char* name, char* field16, double* d1, double* mw,
                                  int64_t* o1, int64_t* o2, int64_t len_id, int64_t len_name,
                                  int64_t len_field);

// Lists property methods: mode 0 count, mode 1 name of item.
PROPCORE_EXPORT void CALL_LSOPST(const int64_t* mode, const int64_t* item, int64_t* count,
                                 char* name8, int64_t len);

// Opens a problem definition file.  status >= 0 on success; -1 terminal
// errors in the file (message on stderr with file, line, field); -2 history
// file could not be opened; -3 report file could not be opened.
PROPCORE_EXPORT void CALLSETJMP(const char* runid, const char* pdf, const char* workdir,
                                int64_t* status, int64_t len_runid, int64_t len_pdf,
                                int64_t len_workdir);

// Releases the problem definition file.
PROPCORE_EXPORT void CLOSEPDF(void);

// libkvheap.so: maps a decorated entry name ("_CALL_PPFLASH@116") to the
// exported plain name ("CALL_PPFLASH").  Returns a pointer to static storage.
PROPCORE_EXPORT const char* cf_DllFcn(const char* decorated);

#ifdef __cplusplus
}
#endif

#endif
