// The Python module kivo: catalogs, images, queries and feature vectors over
// the C interface (capi/kivo.h). Failures raise kivo.Error carrying the
// library's error text (and its number as the attribute number).
//
//   import kivo
//   with kivo.Catalog("db", "photos", "w") as c:
//       c.add_feature("KvColorHistogramFeatureClass")
//       c.add_image("beach.jpg")
//       c.query_image("sea.jpg", n=5)        # [("beach.jpg", 0.12), ...]
//       keys, vectors = c.vectors("KvColorHistogramFeatureClass")
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kivo.h"

namespace py = pybind11;

namespace {

PyObject* gError = nullptr;

[[noreturn]] void Raise() {
  py::object error = py::reinterpret_borrow<py::object>(gError)(std::string(kivo_last_error()));
  error.attr("number") = kivo_last_error_number();
  PyErr_SetObject(gError, error.ptr());
  throw py::error_already_set();
}

void Check(int rc) {
  if (rc != 0) Raise();
}

using Ranking = std::vector<std::pair<std::string, float>>;

Ranking TakeResults(KivoResults* results) {
  Ranking out;
  const size_t count = kivo_results_count(results);
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) out.emplace_back(kivo_results_key(results, i), kivo_results_distance(results, i));
  kivo_results_free(results);
  return out;
}

using QueryFunction = int (*)(KivoCatalog*, const char*, const char* const*, const double*, size_t, const char*,
                              size_t, KivoResults**);

class Catalog {
 public:
  Catalog(const std::string& database, const std::string& catalog, const std::string& mode)
      : catalog_(kivo_open(database.c_str(), catalog.c_str(), mode.c_str())) {
    if (catalog_ == nullptr) Raise();
  }
  ~Catalog() { Close(); }
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;

  void Close() {
    kivo_close(catalog_);
    catalog_ = nullptr;
  }

  void AddFeature(const std::string& feature) { Check(kivo_add_feature(Open(), feature.c_str())); }

  std::vector<std::string> Features() {
    char* list = kivo_list_features(Open());
    if (list == nullptr) Raise();
    std::vector<std::string> names;
    std::string text(list);
    kivo_free(list);
    for (size_t at = 0; at < text.size();) {
      size_t blank = text.find(' ', at);
      if (blank == std::string::npos) blank = text.size();
      if (blank > at) names.push_back(text.substr(at, blank - at));
      at = blank + 1;
    }
    return names;
  }

  void AddImage(const std::string& image) { Check(kivo_add_image(Open(), image.c_str())); }
  void RemoveImage(const std::string& key) { Check(kivo_remove_image(Open(), key.c_str())); }

  Ranking Query(QueryFunction query, const std::string& example, const std::vector<std::string>& features,
                const std::optional<std::vector<double>>& weights, size_t n,
                const std::optional<std::string>& keywords) {
    if (weights && weights->size() != features.size()) {
      throw py::value_error("weights must have one entry per feature");
    }
    std::vector<const char*> names;
    for (const std::string& f : features) names.push_back(f.c_str());
    KivoCatalog* c = Open();
    KivoResults* results = nullptr;
    int rc;
    {
      py::gil_scoped_release release;
      rc = query(c, example.c_str(), names.data(), weights ? weights->data() : nullptr, names.size(),
                 keywords ? keywords->c_str() : nullptr, n, &results);
    }
    if (rc != 0) Raise();
    return TakeResults(results);
  }

  Ranking QueryKeywords(const std::string& keywords) {
    KivoResults* results = nullptr;
    Check(kivo_query_keywords(Open(), keywords.c_str(), &results));
    return TakeResults(results);
  }

  std::pair<std::vector<std::string>, py::array_t<float>> Vectors(const std::string& feature) {
    KivoVectors* vectors = nullptr;
    Check(kivo_feature_vectors(Open(), feature.c_str(), &vectors));
    const size_t count = kivo_vectors_count(vectors);
    const size_t dimension = kivo_vectors_dimension(vectors);
    std::vector<std::string> keys;
    keys.reserve(count);
    for (size_t i = 0; i < count; ++i) keys.emplace_back(kivo_vectors_key(vectors, i));
    py::array_t<float> array({static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(dimension)});
    if (count * dimension > 0) {
      std::memcpy(array.mutable_data(), kivo_vectors_data(vectors), count * dimension * sizeof(float));
    }
    kivo_vectors_free(vectors);
    return {std::move(keys), std::move(array)};
  }

 private:
  KivoCatalog* Open() {
    if (catalog_ == nullptr) throw py::value_error("the catalog is closed");
    return catalog_;
  }

  KivoCatalog* catalog_;
};

}  // namespace

PYBIND11_MODULE(kivo, m) {
  m.doc() = "Kivo content-based image retrieval: catalogs of image features and queries by example.";
  m.attr("__version__") = kivo_version();
  static py::exception<void> error(m, "Error", PyExc_RuntimeError);
  gError = error.ptr();

  const auto features = py::arg("features") = std::vector<std::string>();
  const auto weights = py::arg("weights") = py::none();
  const auto n = py::arg("n") = 20;
  const auto keywords = py::arg("keywords") = py::none();
  py::class_<Catalog>(m, "Catalog",
                      "A catalog of a database directory, opened for reading (mode 'r') or writing ('w': the "
                      "directory and the catalog are made when missing).")
      .def(py::init<const std::string&, const std::string&, const std::string&>(), py::arg("database"),
           py::arg("catalog"), py::arg("mode") = "r")
      .def("close", &Catalog::Close, "Closes the catalog; further calls raise ValueError.")
      .def("__enter__", [](Catalog& c) -> Catalog& { return c; }, py::return_value_policy::reference)
      .def("__exit__", [](Catalog& c, py::args) { c.Close(); })
      .def("add_feature", &Catalog::AddFeature, py::arg("feature"),
           "Registers a feature class ('Class' or 'Class:parameters'); images added later get its record.")
      .def("features", &Catalog::Features, "The catalog's feature classes.")
      .def("add_image", &Catalog::AddImage, py::arg("image"),
           "Stores the image file's records under the key image (a name without white space).")
      .def("remove_image", &Catalog::RemoveImage, py::arg("key"), "Removes every record of key.")
      .def(
          "query_image",
          [](Catalog& c, const std::string& image, const std::vector<std::string>& f,
             const std::optional<std::vector<double>>& w, size_t count, const std::optional<std::string>& k) {
            return c.Query(kivo_query_image, image, f, w, count, k);
          },
          py::arg("image"), features, weights, n, keywords,
          "The n keys nearest to an image file as (key, distance), best first. features: class names (default "
          "the catalog's own), weights: one per feature, keywords: restricts the candidates.")
      .def(
          "query_key",
          [](Catalog& c, const std::string& key, const std::vector<std::string>& f,
             const std::optional<std::vector<double>>& w, size_t count, const std::optional<std::string>& k) {
            return c.Query(kivo_query_key, key, f, w, count, k);
          },
          py::arg("key"), features, weights, n, keywords, "As query_image, with a stored key as the example.")
      .def(
          "query_sketch",
          [](Catalog& c, const std::string& sketch, const std::vector<std::string>& f,
             const std::optional<std::vector<double>>& w, size_t count, const std::optional<std::string>& k) {
            return c.Query(kivo_query_sketch, sketch, f, w, count, k);
          },
          py::arg("sketch"), features, weights, n, keywords,
          "As query_image, with a drawing 'D<w> <h> R<x> <y> <w> <h> <r> <g> <b> ...' as the example.")
      .def("query_keywords", &Catalog::QueryKeywords, py::arg("keywords"),
           "The keys whose keyword text holds keywords, each at distance 0.")
      .def("vectors", &Catalog::Vectors, py::arg("feature"),
           "(keys, array): the stored feature vectors of a class, one float32 row per key in key order.");
}
