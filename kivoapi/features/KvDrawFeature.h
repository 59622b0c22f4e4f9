// The sketch layout feature: a 12 x 9 grid of bin colours of the colour
// histogram (or empty cells). As a query the painted cells form elements
// that may each move by a limited offset to find their best place in a
// stored grid, optionally tolerating a one-cell spread (burst) and charging
// for stored colour that continues past an element's outline (halo).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "features/KvFeature.h"

class KvGenericImageDataClass;

// Grid size of a computed layout; any grid read back from a byte string has
// at most this many cells.
constexpr int kKvDrawColumns = 12;
constexpr int kKvDrawRows = 9;
constexpr int kKvDrawMaxCells = kKvDrawColumns * kKvDrawRows;
// Colour distances are scaled to this value.
constexpr int32_t kKvDrawDistanceScale = 65536;

class KvDrawFeatureClass : public KvFeatureClass {
 public:
  KvDrawFeatureClass();
  ~KvDrawFeatureClass() override;
  KvDrawFeatureClass(const KvDrawFeatureClass&) = delete;
  KvDrawFeatureClass& operator=(const KvDrawFeatureClass&) = delete;

  const char* GetClassName() const override { return "KvDrawFeatureClass"; }

  // columns and rows as 16-bit big-endian words, then one byte per cell row
  // by row (an empty cell as 255).
  int ToByteString(KvDatumClass& out) override;
  // A wrong size, or a grid whose cells do not fill the string, records
  // 10008 (non-fatal) and leaves the feature unchanged.
  int FromByteString(const KvDatumClass& in) override;
  unsigned long GetByteStringSize() override;
  int ComputeFeature(KvGenericDataClass* data, KvParameterClass* parms) override;
  // Element-by-element layout distance in [0, 1] (1000000 for grids of
  // different sizes); -1.0 for a wrong operand (10012), a query without any
  // painted cell, or a failed set-up. With the parameter Mirror=T the stored
  // grid is also compared mirrored left to right, and the smaller distance
  // is the answer.
  float Distance(KvFeatureClass* other, KvParameterClass* parms, float bound) override;
  float GetDistanceHintForParameters(KvFeatureClass* self, KvParameterClass* parms, float deflt) override;
  float GetDistanceHintForTable(KvDatabaseClass* table, KvKeyDatabaseClass* restriction, unsigned long n,
                                const char* catalogName, KvParameterClass* parms) override;
  // Not handled here: 1.
  int SearchTable(KvDatabaseClass* table, KvKeyDatabaseClass* restriction, unsigned long n,
                  const char* catalogName, KvParameterClass* parms, KvKeyDatabaseClass* result) override;
  const char* GetDataClassName() override { return "KvGenericImageDataClass"; }
  const char* GetParameterClassName() override { return "KvParameterClass"; }
  KvParameterClass* GetParameters() override;
  unsigned long GetNumberOfElements() override { return 324; }
  // "%4d %4d" of columns and rows, then each row of "%4d" cells, each line
  // ending with a newline.
  int ToAsciiString(KvDatumClass& out) override;

  // Keeps a caller's value in the object; nothing reads it.
  void SetUserValue(int32_t value) { userValue_ = value; }

  // The layout of the image being computed (set by ComputeFeature). 0, or -1
  // for an image smaller than the grid (10009) or a failed allocation.
  int ComputeLayoutFeatures();
  // Splits the painted cells into elements, builds their tables and applies
  // parms (text "." keeps a value). 0 or -1.
  int PostProcessQueryFeatures(KvParameterClass* parms);
  // Allocates the per-cell shift tables of every element. 0 or -1 (the
  // elements are then released).
  int SetupElementDistTables();
  // Sum of the element costs over the number of elements, in units of the
  // largest colour distance.
  float LayoutDist(KvDrawFeatureClass* other);

  int16_t GetColumns() const { return columns_; }
  int16_t GetRows() const { return rows_; }
  // Bin number of a cell, -1 when empty.
  int16_t GetCell(int row, int column) const { return cells_[row * columns_ + column]; }
  void SetCell(int row, int column, int16_t value) { cells_[row * columns_ + column] = value; }
  // Number of elements and their cell and border counts (after the
  // post-processing of a query).
  int GetElementCount() const { return static_cast<int>(elements_.size()); }
  int GetElementCells(int e) const { return static_cast<int>(elements_[e].cells.size()); }
  int GetElementBorderCells(int e) const { return elements_[e].borderCount; }
  // True once the query's elements are built (by the post-processing).
  bool ElementsBuilt() const { return elementsBuilt_; }
  // Margins of element e: the free rows above and below it and the free
  // columns left and right of it in the grid.
  void GetElementMargins(int e, int* top, int* bottom, int* left, int* right) const {
    *top = elements_[e].top;
    *bottom = elements_[e].bottom;
    *left = elements_[e].left;
    *right = elements_[e].right;
  }
  // Cell c of element e: its place, whether it is a border cell, its halo
  // neighbour bits (bit (i + 1) * 3 + (j + 1) for the neighbour at row offset
  // i and column offset j) and its weight.
  void GetElementCell(int e, int c, int* row, int* column, bool* border, uint16_t* haloNeighbours,
                      double* weight) const {
    const ElementCell& cell = elements_[e].cells[c];
    *row = cell.row;
    *column = cell.column;
    *border = cell.border;
    *haloNeighbours = cell.haloNeighbours;
    *weight = cell.weight;
  }
  int16_t GetMaxOffset() const { return maxOffset_; }
  bool GetBurst() const { return burst_; }
  bool GetHalo() const { return halo_; }
  bool GetMirror() const { return mirror_; }
  int32_t GetBurstScale() const { return burstScale_; }
  double GetBorderWeight() const { return borderWeight_; }

  // The class-wide colour distance table D(i, j) (256 x 256, 0 to 65536);
  // null before the first successful construction.
  static const int32_t* ColorDistanceTable();

 private:
  struct ElementCell {
    int16_t row;
    int16_t column;
    bool border;
    // Neighbour offsets (bit (i + 1) * 3 + (j + 1)) inside the grid and
    // outside the element: where the halo looks.
    uint16_t haloNeighbours;
    double weight;
    int32_t* plain;  // P over the widened shift range
    int32_t* value;  // weighted cost per allowed shift
    int32_t* halo;   // weighted halo cost per allowed shift (border cells)
  };
  struct Element {
    int top = 0;
    int bottom = 0;
    int left = 0;
    int right = 0;
    int borderCount = 0;
    std::vector<ElementCell> cells;
    // Shift tables are (top + bottom + 3) x (left + right + 3): every shift
    // the margins allow, widened by one on each side.
    int TableWidth() const { return left + right + 3; }
    int TableSize() const { return (top + bottom + 3) * TableWidth(); }
  };
  struct KvDeleter {
    void operator()(void* p) const;
  };

  void Reset();
  void FreeElements();
  void ApplyParameters(KvParameterClass* parms);
  int64_t ElementCost(const Element& e, const KvDrawFeatureClass& stored) const;

  int16_t columns_ = kKvDrawColumns;
  int16_t rows_ = kKvDrawRows;
  int16_t cells_[kKvDrawMaxCells] = {};
  bool picker_ = false;
  int16_t maxOffset_ = 0;
  bool burst_ = true;
  bool halo_ = false;
  int32_t burstScale_ = 15;
  double borderWeight_ = 0.5;
  double cellWeights_[kKvDrawMaxCells] = {};
  bool elementsBuilt_ = false;
  std::vector<Element> elements_;
  std::unique_ptr<int32_t[], KvDeleter> tables_;
  int32_t userValue_ = 0;
  bool mirror_ = false;
  // The stored grid mirrored left to right, made at the first mirrored
  // comparison and reused for every record.
  std::unique_ptr<KvDrawFeatureClass> mirrored_;
  // The image being computed, only during ComputeFeature.
  const KvGenericImageDataClass* image_ = nullptr;
};

// A weighted table entry: trunc(value * weight), kept inside 32 bits.
int32_t KvDrawWeighted(int64_t value, double weight);
// Combines an element's average cost with the cost of the stored colours
// round its outline: colours that continue past the outline (a small halo
// distance) raise the cost.
int64_t KvDrawHaloCost(int64_t average, int64_t halo);
