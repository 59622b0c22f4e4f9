/* The C interface of Kivo: a small, stable set of functions over opaque
 * handles for programs in C and for other languages' bindings.
 *
 * Every int function returns 0 on success and -1 on failure; a function that
 * returns a pointer returns NULL on failure. After a failure kivo_last_error()
 * gives the reason (the text of the library's error record). The library keeps
 * one error record and one database connection per process: use the
 * functions from one thread at a time.
 *
 * Keys are the image names as given to kivo_add_image (or to KvMkDbs); they
 * hold no white space. Features are named by class, optionally followed by
 * ":" and parameters ("KvTextureFeatureClass:PCoarseness=v2"); a weight is
 * given separately to the query functions. */
#ifndef KIVO_C_API_H
#define KIVO_C_API_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KivoCatalog KivoCatalog;
typedef struct KivoResults KivoResults;
typedef struct KivoVectors KivoVectors;

/* The library's version, "major.minor.patch". */
const char* kivo_version(void);
/* The text of the last error; "" before any. Valid until the next call. */
const char* kivo_last_error(void);
/* The number of the last error (10000 to 10072, see the error table). */
int kivo_last_error_number(void);

/* Opens catalog in the database directory for reading ("r") or writing
 * ("w": the directory and the catalog are created when missing). Released
 * with kivo_close. */
KivoCatalog* kivo_open(const char* database, const char* catalog, const char* mode);
void kivo_close(KivoCatalog* catalog);

/* Registers a feature class in a catalog opened for writing: images added
 * afterwards get its record. */
int kivo_add_feature(KivoCatalog* catalog, const char* feature);
/* The catalog's feature classes, blank-separated, in a buffer the caller
 * releases with kivo_free. */
char* kivo_list_features(KivoCatalog* catalog);
void kivo_free(void* p);

/* Computes and stores the records of an image file for every feature class of
 * the catalog, under the key image (found along KivoImagePath). Adding a key
 * that is stored already fails. */
int kivo_add_image(KivoCatalog* catalog, const char* image);
/* Removes every record of key. */
int kivo_remove_image(KivoCatalog* catalog, const char* key);

/* Queries rank the catalog's keys by weighted distance to an example, best
 * first, at most n of them. features/weights: count feature classes with
 * their weights (weights may be NULL: all 1); count 0 uses the catalog's own
 * classes (without the keyword class). keywords, when not NULL or empty,
 * restricts the candidates to the keys whose keyword text holds it. */
int kivo_query_image(KivoCatalog* catalog, const char* image, const char* const* features,
                     const double* weights, size_t count, const char* keywords, size_t n,
                     KivoResults** results);
int kivo_query_key(KivoCatalog* catalog, const char* key, const char* const* features,
                   const double* weights, size_t count, const char* keywords, size_t n,
                   KivoResults** results);
/* sketch: a picker description "D<w> <h> R<x> <y> <w> <h> <r> <g> <b> ...". */
int kivo_query_sketch(KivoCatalog* catalog, const char* sketch, const char* const* features,
                      const double* weights, size_t count, const char* keywords, size_t n,
                      KivoResults** results);
/* The keys whose keyword text holds keywords, every one at distance 0. */
int kivo_query_keywords(KivoCatalog* catalog, const char* keywords, KivoResults** results);

size_t kivo_results_count(const KivoResults* results);
/* Entry i (below the count): its key (valid until kivo_results_free) and its
 * distance. */
const char* kivo_results_key(const KivoResults* results, size_t i);
float kivo_results_distance(const KivoResults* results, size_t i);
void kivo_results_free(KivoResults* results);

/* The stored feature vectors of one feature class: one row of
 * kivo_vectors_dimension floats per key, in key order. Average colour: the
 * three colour coordinates; colour histogram: the 256 bin fractions; texture:
 * coarseness, contrast, directionality; sketch layout: the bin of each grid
 * cell, row by row (255 for an empty cell). The keyword class has no vector
 * form. */
int kivo_feature_vectors(KivoCatalog* catalog, const char* feature, KivoVectors** vectors);
size_t kivo_vectors_count(const KivoVectors* vectors);
size_t kivo_vectors_dimension(const KivoVectors* vectors);
const char* kivo_vectors_key(const KivoVectors* vectors, size_t i);
/* count x dimension floats, row by row. */
const float* kivo_vectors_data(const KivoVectors* vectors);
void kivo_vectors_free(KivoVectors* vectors);

#ifdef __cplusplus
}
#endif

#endif
