// Readout-order iterators: walk the samples of one DCS plane in the order the
// sensor delivers them and name each sample's position in the sorted image.
// The default iterator serves the one-half readout (bottom row first) and the
// two-half readout (row pairs from the middle outwards); the dual-MGX
// iterator skips every second row set, which holds the pixels' second gate.
#include <cstdint>

#include "epc660/calc.h"
#include "vizor/epc660.h"

namespace {

struct Walk {
    int count = 0;  // samples to visit (input counter limit)
    int columns = 0;
    int rows = 0;     // image rows (both halves)
    int halves = 2;   // read from the image source at init
    int input = 0;    // input counter
    int column = 0;   // column counter within a row set (0 .. halves x columns)
    int pair = 0;     // row-pair (row set) counter
    int outputs = 0;  // running output count (dual MGX)
};
struct Walks {
    Walk def, mgx;
};
Walks &walks() { return vz::epc::state<Walks>(vz::epc::kSlotIterator); }
#undef EPC_BIND
#define EPC_BIND                                    \
    [[maybe_unused]] Walk &g_default = walks().def; \
    [[maybe_unused]] Walk &g_mgx = walks().mgx;

int row_set(const Walk &w) { return w.halves * w.columns; }

void init(Walk &w, int count, int columns, int rows) {
    w = Walk{};
    w.count = count;
    w.columns = columns;
    w.rows = rows;
    w.halves = pruGetNumberOfHalves();
}

// Column and row of the current sample; `height` is the output height the
// row formula uses (rows for the default walk, rows / 2 with dual MGX).
void place(const Walk &w, int height, int &column, int &row, bool &top) {
    top = false;
    if (w.halves == 1) {
        row = height - 1 - w.pair;
        column = w.column;
    } else if (w.column < w.columns) {
        row = height / 2 - 1 - w.pair;
        column = w.column;
        top = true;
    } else {
        row = height / 2 + w.pair;
        column = w.column - w.columns;
    }
}

// One step of the column counter; returns true when it wrapped.
bool step(Walk &w) {
    if (++w.column >= row_set(w)) {
        w.column = 0;
        ++w.pair;
        return true;
    }
    return false;
}

// n steps at once, with `jump` extra input samples per wrap.
void skip(Walk &w, int n, bool jump) {
    if (n <= 0) return;
    const int64_t set = row_set(w);
    if (set <= 0) {  // degenerate geometry: every step wraps
        for (int i = 0; i < n; ++i) {
            ++w.input;
            ++w.outputs;
            if (step(w) && jump) w.input += int(set);
        }
        return;
    }
    const int64_t pos = int64_t(w.column) + n;
    const int64_t wraps = pos / set;
    w.column = int(pos % set);
    w.pair += int(wraps);
    w.input += n + (jump ? int(wraps * set) : 0);
    w.outputs += n;
}

}  // namespace

namespace vz::epc::calc {
void iterator_default_skip(int n) {
    Walk &g_default = walks().def;
    skip(g_default, n, false);
}
void iterator_mgx_skip(int n) {
    Walk &g_mgx = walks().mgx;
    skip(g_mgx, n, true);
}
}  // namespace vz::epc::calc

extern "C" {

VZ_API void iteratorDefaultInit(int count, int columns, int rows) noexcept {
    EPC_ENTRY_VOID({ init(g_default, count, columns, rows); });
}

VZ_API bool iteratorDefaultHasNext(void) noexcept {
    EPC_ENTRY(false, { return g_default.input < g_default.count; });
}

VZ_API void iteratorDefaultNext(iterator_position_t *position) noexcept {
    EPC_ENTRY_VOID({
        if (!position) return;
        Walk &w = g_default;
        int column = 0, row = 0;
        bool top = false;
        place(w, w.rows, column, row, top);
        position->column = uint16_t(column);
        position->row = uint8_t(row);
        position->indexOut = column + w.columns * position->row;
        position->indexIn = w.input++;
        step(w);
    });
}

VZ_API void iteratorMGXInit(int count, int columns, int rows) noexcept {
    EPC_ENTRY_VOID({ init(g_mgx, count, columns, rows); });
}

VZ_API bool iteratorMGXHasNext(void) noexcept {
    EPC_ENTRY(false, { return g_mgx.input < g_mgx.count; });
}

VZ_API void iteratorMGXNext(iterator_mgx_position_t *position) noexcept {
    EPC_ENTRY_VOID({
        if (!position) return;
        Walk &w = g_mgx;
        int column = 0, row = 0;
        bool top = false;
        place(w, w.rows / 2, column, row, top);
        position->column = uint16_t(column);
        position->row = uint8_t(row);
        position->indexOut = column + w.columns * position->row;
        position->indexIn = w.input++;
        position->count = w.outputs++;
        position->topHalf = top ? 1 : 0;
        if (step(w)) w.input += row_set(w);  // over the row set of second samples
    });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps iterator_slot = slot_ops<Walks>();
}  // namespace vz::epc
