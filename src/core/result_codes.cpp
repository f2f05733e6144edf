#include "core/result_codes.h"

const ResultRow* FindResult(ResultCode code) {
    for (const ResultRow& row : kResultTable) {
        if (row.code == code) return &row;
    }
    return nullptr;
}
