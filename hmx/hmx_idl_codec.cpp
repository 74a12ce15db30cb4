#include "hmx/hmx_idl.h"

#include <cstring>

// Every failure is returned up through the recursion as a negative code; the
// entry functions hand it to the caller unchanged.
namespace {

// Field flag bits, as the description streams use them.
constexpr std::uint32_t kTypeMask = 0x7u;
constexpr std::uint32_t kSecondFlagByte = 1u << 3;
constexpr std::uint32_t kVarLen = 1u << 4;
constexpr std::uint32_t kTwoByteCount = 1u << 5;
constexpr std::uint32_t kArray = 1u << 6;
constexpr std::uint32_t kTwoByteOffset = 1u << 7;
constexpr std::uint32_t kWideString = 1u << 8;
constexpr std::uint32_t kThreeByteOffset = 1u << 9;
constexpr std::uint32_t kZeroExtend = 1u << 10;
constexpr std::uint32_t kCountIsRest = 1u << 11;
constexpr std::uint32_t kCountOnly = 1u << 12;
constexpr std::uint32_t kCountEarlier = 1u << 13;
constexpr std::uint32_t kFourByteCount = 1u << 14;
constexpr std::uint32_t kThirdFlagByte = 1u << 15;
constexpr std::uint32_t kRangeCheck = 1u << 22;

constexpr std::uint8_t kTlvLast = 0x80;
constexpr std::uint8_t kTlvOptional = 0x40;
constexpr std::uint8_t kTypeEnd = 0x20;
constexpr std::uint32_t kTlvHeaderSize = 3;
constexpr std::uint8_t kResponseHeaderTlv = 0x02;
constexpr int kMaxParentDepth = 16;

enum FieldType : unsigned {
    kInt8 = 0,
    kInt16 = 1,
    kInt32 = 2,
    kInt64 = 3,
    kByteIn32 = 4,
    kShortIn32 = 5,
    kString = 6,
    kAggregate = 7,
};

constexpr std::uint32_t kWireSize[] = {1, 2, 4, 8, 1, 2, 1, 0};
constexpr std::uint32_t kStructSize[] = {1, 2, 4, 8, 4, 4, 1, 0};

struct Field {
    std::uint32_t flags = 0;
    unsigned type = 0;
    std::uint32_t offset = 0;
    std::uint32_t maxCount = 0;
    std::uint32_t countBack = 0;
    const hmx_idl_type_table_object* aggTable = nullptr;
    const hmx_idl_message_table_entry* agg = nullptr;
    std::uint32_t rangeIndex = 0;

    bool Is(std::uint32_t bit) const { return (flags & bit) != 0; }
    bool IsString() const { return type == kString || Is(kWideString); }
    std::uint32_t ElementStructSize() const {
        if (Is(kWideString)) {
            return 2;
        }
        return type == kAggregate ? agg->c_struct_sz : kStructSize[type];
    }
};

struct TlvEntry {
    std::uint8_t type = 0;
    bool optional = false;
    std::uint32_t validBack = 0;
    Field field;
};

// Reads one field descriptor; null when the description refers to a type the
// tables do not hold.
const std::uint8_t* ParseField(const std::uint8_t* p, const hmx_idl_type_table_object* table,
                               Field& f) {
    f = Field{};
    f.flags = *p++;
    if (f.Is(kSecondFlagByte)) {
        f.flags |= static_cast<std::uint32_t>(*p++) << 8;
        if (f.Is(kThirdFlagByte)) {
            f.flags |= static_cast<std::uint32_t>(*p++) << 16;
        }
    }
    f.type = f.flags & kTypeMask;
    f.offset = *p++;
    if (f.Is(kThreeByteOffset)) {
        f.offset |= static_cast<std::uint32_t>(p[0]) << 8 | static_cast<std::uint32_t>(p[1]) << 16;
        p += 2;
    } else if (f.Is(kTwoByteOffset)) {
        f.offset |= static_cast<std::uint32_t>(*p++) << 8;
    }
    if (f.Is(kArray)) {
        f.maxCount = *p++;
        if (f.Is(kTwoByteCount) || f.Is(kFourByteCount)) {
            f.maxCount |= static_cast<std::uint32_t>(*p++) << 8;
        }
        if (f.Is(kFourByteCount)) {
            p += 2;
        }
    }
    if (f.Is(kVarLen) && !f.IsString()) {
        f.countBack = *p++;
    }
    if (f.type == kAggregate) {
        std::uint32_t index = p[0] | static_cast<std::uint32_t>(p[1] & 0xF0) << 4;
        std::uint32_t ref = p[1] & 0x0F;
        p += 2;
        if (table == nullptr || ref >= table->n_type_table_refs) {
            return nullptr;
        }
        f.aggTable = table->p_type_table_refs[ref];
        if (f.aggTable == nullptr || index >= f.aggTable->n_types) {
            return nullptr;
        }
        f.agg = &f.aggTable->p_types[index];
    }
    if (f.Is(kRangeCheck)) {
        std::memcpy(&f.rangeIndex, p, sizeof(f.rangeIndex));
        p += 4;
    }
    return p;
}

const std::uint8_t* ParseTlvEntry(const std::uint8_t* p, const hmx_idl_type_table_object* table,
                                  TlvEntry& e, bool& last) {
    std::uint8_t header = *p++;
    last = (header & kTlvLast) != 0;
    e.optional = (header & kTlvOptional) != 0;
    if (e.optional) {
        e.type = *p++;
        e.validBack = header & 0x0Fu;
    } else {
        e.type = header & 0x0Fu;
        e.validBack = 0;
    }
    return ParseField(p, table, e.field);
}

struct Message {
    const hmx_idl_type_table_object* table = nullptr;
    const hmx_idl_message_table_entry* desc = nullptr;
    std::uint16_t maxLen = 0;
};

bool ValidVersion(const hmx_idl_service_object* s) {
    return s->library_version >= 1 && s->library_version <= 6;
}

std::int32_t Resolve(const hmx_idl_service_object* s,
                     const hmx_idl_service_message_table_entry& row, Message& m) {
    unsigned ref = row.message_table_message_id >> 12;
    unsigned index = row.message_table_message_id & 0x0FFFu;
    const hmx_idl_type_table_object* own = s->p_type_table;
    if (own == nullptr || ref >= own->n_type_table_refs || own->p_type_table_refs[ref] == nullptr) {
        return HMX_IDL_PARAMETER_ERROR;
    }
    m.table = own->p_type_table_refs[ref];
    if (index >= m.table->n_messages) {
        return HMX_IDL_PARAMETER_ERROR;
    }
    m.desc = &m.table->p_messages[index];
    m.maxLen = row.max_msg_len;
    return 0;
}

std::int32_t hmx_idl_find_message(const hmx_idl_service_object* s, int kind, std::uint16_t id,
                                  Message& m) {
    for (int depth = 0; s != nullptr && depth < kMaxParentDepth; ++depth) {
        const hmx_idl_service_message_table_entry* rows = s->msgid_to_msg[kind];
        int lo = 0;
        int hi = rows == nullptr ? -1 : static_cast<int>(s->n_msgs[kind]) - 1;
        while (lo <= hi) {
            int mid = lo + (hi - lo) / 2;
            if (rows[mid].message_id == id) {
                return Resolve(s, rows[mid], m);
            }
            if (rows[mid].message_id < id) {
                lo = mid + 1;
            } else {
                hi = mid - 1;
            }
        }
        if (s->library_version < 5) {
            break;
        }
        s = s->parent_service_obj;
    }
    return HMX_IDL_MSG_ID_NOT_FOUND;
}

std::int32_t CheckArgs(const hmx_idl_service_object* s, int kind, const void* a, std::uint32_t aLen,
                       const void* b, std::uint32_t bLen) {
    if (s == nullptr || kind < HMX_IDL_REQUEST || kind > HMX_IDL_INDICATION ||
        (a == nullptr && aLen != 0) || (b == nullptr && bLen != 0)) {
        return HMX_IDL_PARAMETER_ERROR;
    }
    if (!ValidVersion(s)) {
        return HMX_IDL_INVALID_SERVICE_OBJECT;
    }
    return 0;
}

// ---- Encoding ----

struct Encoder {
    const hmx_idl_type_table_object* table; // of the field being encoded
    const std::uint8_t* src;
    std::uint32_t srcLen;
    std::uint8_t* out;
    std::uint32_t left;

    bool InSource(const std::uint8_t* p, std::uint64_t len) const {
        return p >= src && static_cast<std::uint64_t>(p - src) + len <= srcLen;
    }
    std::int32_t Write(const void* data, std::uint32_t len) {
        if (len > left) {
            return HMX_IDL_LENGTH_INCONSISTENCY;
        }
        std::memcpy(out, data, len);
        out += len;
        left -= len;
        return 0;
    }
    std::int32_t WriteCount(const Field& f, std::uint32_t count) {
        std::uint8_t bytes[4] = {static_cast<std::uint8_t>(count),
                                 static_cast<std::uint8_t>(count >> 8), 0, 0};
        if (f.Is(kTwoByteCount)) {
            return Write(bytes, 2);
        }
        if (f.Is(kFourByteCount)) {
            return Write(bytes, 4);
        }
        if (count > 0xFF) {
            return HMX_IDL_ARRAY_TOO_BIG;
        }
        return Write(bytes, 1);
    }
};

// Codes the fields of an aggregate one by one, with the coder's type table
// switched to the aggregate's own for them (their range checks and nested
// aggregates refer to it), until one fails.
template <typename Coder, typename CodeField>
std::int32_t ForEachAggregateField(Coder& coder, const Field& f, CodeField codeField) {
    const std::uint8_t* p = f.agg->p_encoded_tlv_data;
    if (p == nullptr) {
        return 0;
    }
    const hmx_idl_type_table_object* outer = coder.table;
    coder.table = f.aggTable;
    std::int32_t rc = 0;
    while (rc == 0 && *p != kTypeEnd) {
        Field sub;
        p = ParseField(p, f.aggTable, sub);
        rc = p == nullptr ? HMX_IDL_PARAMETER_ERROR : codeField(sub);
    }
    coder.table = outer;
    return rc;
}

std::int32_t EncodeField(Encoder& e, const Field& f, const std::uint8_t* base, bool inTlv);

std::int32_t EncodeAggregate(Encoder& e, const Field& f, const std::uint8_t* elem) {
    return ForEachAggregateField(
        e, f, [&](const Field& sub) { return EncodeField(e, sub, elem, false); });
}

std::int32_t EncodeScalar(Encoder& e, const Field& f, const std::uint8_t* elem,
                          const hmx_idl_type_table_object* table) {
    std::uint32_t size = kStructSize[f.type];
    if (!e.InSource(elem, size)) {
        return HMX_IDL_LENGTH_INCONSISTENCY;
    }
    std::uint8_t value[8];
    std::memcpy(value, elem, size);
    if (f.Is(kRangeCheck)) {
        if (table == nullptr || table->p_ranges == nullptr ||
            table->p_ranges[f.rangeIndex](value, size) != 0) {
            return HMX_IDL_RANGE_CHECK_FAILED;
        }
    }
    // The low bytes of a little-endian value are its first bytes.
    return e.Write(value, kWireSize[f.type]);
}

std::int32_t EncodeString(Encoder& e, const Field& f, const std::uint8_t* p, bool inTlv) {
    std::uint32_t charSize = f.Is(kWideString) ? 2 : 1;
    std::uint32_t max = f.Is(kArray) ? f.maxCount : 0xFFFFu;
    std::uint32_t len = 0;
    for (;;) {
        const std::uint8_t* c = p + static_cast<std::uint64_t>(len) * charSize;
        if (!e.InSource(c, charSize)) {
            return HMX_IDL_LENGTH_INCONSISTENCY;
        }
        bool nul = charSize == 1 ? c[0] == 0 : (c[0] | c[1]) == 0;
        if (nul) {
            break;
        }
        if (++len > max) {
            return HMX_IDL_ARRAY_TOO_BIG;
        }
    }
    if (!inTlv && !f.Is(kCountEarlier)) {
        if (std::int32_t rc = e.WriteCount(f, len); rc != 0) {
            return rc;
        }
    }
    return e.Write(p, len * charSize);
}

std::int32_t EncodeField(Encoder& e, const Field& f, const std::uint8_t* base, bool inTlv) {
    const std::uint8_t* p = base + f.offset;
    if (f.IsString()) {
        return EncodeString(e, f, p, inTlv);
    }
    std::uint32_t count = 1;
    if (f.Is(kArray)) {
        count = f.maxCount;
        if (f.Is(kVarLen)) {
            const std::uint8_t* countField = p - f.countBack;
            if (!e.InSource(countField, 4)) {
                return HMX_IDL_LENGTH_INCONSISTENCY;
            }
            std::memcpy(&count, countField, 4);
            if (count > f.maxCount) {
                return HMX_IDL_ARRAY_TOO_BIG;
            }
            if (!f.Is(kCountIsRest) && !f.Is(kCountEarlier)) {
                if (std::int32_t rc = e.WriteCount(f, count); rc != 0) {
                    return rc;
                }
            }
            if (f.Is(kCountOnly)) {
                return 0;
            }
        }
    }
    std::uint32_t stride = f.ElementStructSize();
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* elem = p + static_cast<std::uint64_t>(i) * stride;
        std::int32_t rc =
            f.type == kAggregate ? EncodeAggregate(e, f, elem) : EncodeScalar(e, f, elem, e.table);
        if (rc != 0) {
            return rc;
        }
    }
    return 0;
}

// ---- Decoding ----

struct Decoder {
    std::uint8_t* dst;
    std::uint32_t dstLen;
    const hmx_idl_type_table_object* table; // of the field being decoded
    std::uint8_t* validFlag;                // of the optional TLV being decoded, if any

    bool InDest(const std::uint8_t* p, std::uint64_t len) const {
        return p >= dst && static_cast<std::uint64_t>(p - dst) + len <= dstLen;
    }
};

struct Input {
    const std::uint8_t* p;
    std::uint32_t left;

    std::int32_t Take(void* to, std::uint32_t len) {
        if (len > left) {
            return HMX_IDL_LENGTH_INCONSISTENCY;
        }
        std::memcpy(to, p, len);
        p += len;
        left -= len;
        return 0;
    }
    std::int32_t TakeCount(const Field& f, std::uint32_t& count) {
        std::uint8_t bytes[4] = {};
        std::uint32_t size = f.Is(kTwoByteCount) ? 2 : f.Is(kFourByteCount) ? 4 : 1;
        if (std::int32_t rc = Take(bytes, size); rc != 0) {
            return rc;
        }
        count = bytes[0] | static_cast<std::uint32_t>(bytes[1]) << 8 |
                static_cast<std::uint32_t>(bytes[2]) << 16 |
                static_cast<std::uint32_t>(bytes[3]) << 24;
        return 0;
    }
};

std::int32_t DecodeField(Decoder& d, const Field& f, std::uint8_t* base, bool inTlv, Input& in);

std::int32_t DecodeAggregate(Decoder& d, const Field& f, std::uint8_t* elem, Input& in) {
    return ForEachAggregateField(
        d, f, [&](const Field& sub) { return DecodeField(d, sub, elem, false, in); });
}

std::int32_t ApplyRangeCheck(Decoder& d, const Field& f, std::uint8_t* elem, std::uint32_t size,
                             const hmx_idl_type_table_object* table) {
    if (table == nullptr || table->p_ranges == nullptr) {
        return HMX_IDL_RANGE_CHECK_FAILED;
    }
    std::uint8_t value[8];
    std::memcpy(value, elem, size);
    std::int32_t verdict = table->p_ranges[f.rangeIndex](value, size);
    switch (verdict) {
    case 0:
        return 0;
    case -1:
        std::memcpy(elem, value, size);
        return 0;
    case -2:
        if (d.validFlag != nullptr) {
            *d.validFlag = 0;
        }
        return 0;
    default:
        return verdict > 0 ? verdict : HMX_IDL_RANGE_CHECK_FAILED;
    }
}

std::int32_t DecodeScalar(Decoder& d, const Field& f, std::uint8_t* elem, Input& in,
                          const hmx_idl_type_table_object* table) {
    std::uint32_t size = kStructSize[f.type];
    if (!d.InDest(elem, size)) {
        return HMX_IDL_LENGTH_INCONSISTENCY;
    }
    std::uint8_t wire[8] = {};
    if (std::int32_t rc = in.Take(wire, kWireSize[f.type]); rc != 0) {
        return rc;
    }
    if (f.type == kByteIn32 || f.type == kShortIn32) {
        std::uint32_t raw = wire[0] | static_cast<std::uint32_t>(wire[1]) << 8;
        std::int32_t wide;
        if (f.Is(kZeroExtend)) {
            wide = static_cast<std::int32_t>(raw);
        } else if (f.type == kByteIn32) {
            wide = static_cast<std::int8_t>(raw);
        } else {
            wide = static_cast<std::int16_t>(raw);
        }
        std::memcpy(elem, &wide, 4);
    } else {
        std::memcpy(elem, wire, size);
    }
    if (f.Is(kRangeCheck)) {
        return ApplyRangeCheck(d, f, elem, size, table);
    }
    return 0;
}

std::int32_t DecodeString(Decoder& d, const Field& f, std::uint8_t* p, bool inTlv, Input& in) {
    std::uint32_t charSize = f.Is(kWideString) ? 2 : 1;
    std::uint32_t max = f.Is(kArray) ? f.maxCount : 0xFFFFu;
    std::uint32_t len = 0;
    if (inTlv || f.Is(kCountEarlier)) {
        // The string runs to the end of its TLV.
        if (in.left % charSize != 0) {
            return HMX_IDL_LENGTH_INCONSISTENCY;
        }
        len = in.left / charSize;
    } else if (std::int32_t rc = in.TakeCount(f, len); rc != 0) {
        return rc;
    }
    if (len > max) {
        return HMX_IDL_ARRAY_TOO_BIG;
    }
    std::uint32_t bytes = len * charSize;
    if (!d.InDest(p, static_cast<std::uint64_t>(bytes) + 1)) {
        return HMX_IDL_LENGTH_INCONSISTENCY;
    }
    if (std::int32_t rc = in.Take(p, bytes); rc != 0) {
        return rc;
    }
    p[bytes] = 0;
    return 0;
}

std::int32_t DecodeElement(Decoder& d, const Field& f, std::uint8_t* elem, Input& in) {
    if (f.type == kAggregate) {
        if (!d.InDest(elem, f.agg->c_struct_sz)) {
            return HMX_IDL_LENGTH_INCONSISTENCY;
        }
        return DecodeAggregate(d, f, elem, in);
    }
    return DecodeScalar(d, f, elem, in, d.table);
}

std::int32_t DecodeElements(Decoder& d, const Field& f, std::uint8_t* first, std::uint32_t count,
                            Input& in) {
    std::uint32_t stride = f.ElementStructSize();
    for (std::uint32_t i = 0; i < count; ++i) {
        std::int32_t rc = DecodeElement(d, f, first + static_cast<std::uint64_t>(i) * stride, in);
        if (rc != 0) {
            return rc;
        }
    }
    return 0;
}

std::int32_t DecodeField(Decoder& d, const Field& f, std::uint8_t* base, bool inTlv, Input& in) {
    std::uint8_t* p = base + f.offset;
    if (f.IsString()) {
        return DecodeString(d, f, p, inTlv, in);
    }
    std::uint32_t stride = f.ElementStructSize();
    if (!f.Is(kArray)) {
        return DecodeElement(d, f, p, in);
    }
    if (!f.Is(kVarLen)) {
        return DecodeElements(d, f, p, f.maxCount, in);
    }
    std::uint8_t* countField = p - f.countBack;
    if (!d.InDest(countField, 4)) {
        return HMX_IDL_LENGTH_INCONSISTENCY;
    }
    std::uint32_t count = 0;
    if (f.Is(kCountIsRest)) {
        while (in.left > 0) {
            if (count == f.maxCount) {
                return HMX_IDL_ARRAY_TOO_BIG;
            }
            std::int32_t rc =
                DecodeElement(d, f, p + static_cast<std::uint64_t>(count) * stride, in);
            if (rc != 0) {
                return rc;
            }
            ++count;
        }
        std::memcpy(countField, &count, 4);
        return 0;
    }
    if (f.Is(kCountEarlier)) {
        std::memcpy(&count, countField, 4);
    } else if (std::int32_t rc = in.TakeCount(f, count); rc != 0) {
        return rc;
    }
    if (count > f.maxCount) {
        return HMX_IDL_ARRAY_TOO_BIG;
    }
    std::memcpy(countField, &count, 4);
    if (f.Is(kCountOnly)) {
        return 0;
    }
    return DecodeElements(d, f, p, count, in);
}

// A message has at most one TLV per type.
constexpr int kMaxTlvs = 256;

struct TlvList {
    TlvEntry entries[kMaxTlvs];
    int count = 0;
};

std::int32_t ParseTlvs(const Message& m, TlvList& list) {
    const std::uint8_t* p = m.desc->p_encoded_tlv_data;
    if (p == nullptr) {
        return 0;
    }
    bool last = false;
    while (!last) {
        if (list.count == kMaxTlvs) {
            return HMX_IDL_PARAMETER_ERROR;
        }
        p = ParseTlvEntry(p, m.table, list.entries[list.count], last);
        if (p == nullptr) {
            return HMX_IDL_PARAMETER_ERROR;
        }
        ++list.count;
    }
    return 0;
}

// One value of a service object, read only from a valid one.
std::int32_t GetServiceValue(const hmx_idl_service_object* service,
                             std::uint32_t hmx_idl_service_object::*member, std::uint32_t* value) {
    if (service == nullptr || value == nullptr) {
        return HMX_IDL_PARAMETER_ERROR;
    }
    if (!ValidVersion(service)) {
        return HMX_IDL_INVALID_SERVICE_OBJECT;
    }
    *value = service->*member;
    return 0;
}

} // namespace

std::int32_t hmx_idl_message_encode(const hmx_idl_service_object* service, int kind,
                                    std::uint16_t message_id, const void* src,
                                    std::uint32_t src_len, void* dst, std::uint32_t dst_len,
                                    std::uint32_t* dst_decoded_len) {
    if (dst_decoded_len == nullptr) {
        return HMX_IDL_PARAMETER_ERROR;
    }
    *dst_decoded_len = 0;
    if (std::int32_t rc = CheckArgs(service, kind, src, src_len, dst, dst_len); rc != 0) {
        return rc;
    }
    Message m;
    if (std::int32_t rc = hmx_idl_find_message(service, kind, message_id, m); rc != 0) {
        return rc;
    }
    if (m.desc->c_struct_sz > src_len) {
        return HMX_IDL_STRUCT_TOO_SMALL;
    }
    if (m.desc->c_struct_sz == 0 || m.desc->p_encoded_tlv_data == nullptr || dst == nullptr) {
        return 0;
    }
    TlvList tlvs;
    if (std::int32_t rc = ParseTlvs(m, tlvs); rc != 0) {
        return rc;
    }
    const auto* base = static_cast<const std::uint8_t*>(src);
    Encoder e{m.table, base, src_len, static_cast<std::uint8_t*>(dst), dst_len};
    for (int i = 0; i < tlvs.count; ++i) {
        const TlvEntry& t = tlvs.entries[i];
        if (t.optional) {
            const std::uint8_t* valid = base + t.field.offset - t.validBack;
            if (!e.InSource(valid, 1)) {
                return HMX_IDL_LENGTH_INCONSISTENCY;
            }
            if (*valid == 0) {
                continue;
            }
        }
        if (e.left < kTlvHeaderSize) {
            return HMX_IDL_STRUCT_TOO_SMALL;
        }
        std::uint8_t* header = e.out;
        e.out += kTlvHeaderSize;
        e.left -= kTlvHeaderSize;
        std::uint8_t* value = e.out;
        if (std::int32_t rc = EncodeField(e, t.field, base, true); rc != 0) {
            return rc;
        }
        std::uint64_t length = static_cast<std::uint64_t>(e.out - value);
        if (length > 0xFFFF) {
            return HMX_IDL_LENGTH_INCONSISTENCY;
        }
        header[0] = t.type;
        header[1] = static_cast<std::uint8_t>(length);
        header[2] = static_cast<std::uint8_t>(length >> 8);
    }
    *dst_decoded_len = static_cast<std::uint32_t>(e.out - static_cast<std::uint8_t*>(dst));
    return 0;
}

std::int32_t hmx_idl_message_decode(const hmx_idl_service_object* service, int kind,
                                    std::uint16_t message_id, const void* src,
                                    std::uint32_t src_len, void* dst, std::uint32_t dst_len) {
    if (std::int32_t rc = CheckArgs(service, kind, src, src_len, dst, dst_len); rc != 0) {
        return rc;
    }
    Message m;
    if (std::int32_t rc = hmx_idl_find_message(service, kind, message_id, m); rc != 0) {
        return rc;
    }
    if (m.desc->c_struct_sz > dst_len) {
        return HMX_IDL_STRUCT_TOO_SMALL;
    }
    if (dst_len != 0) {
        std::memset(dst, 0, m.desc->c_struct_sz);
    }
    TlvList tlvs;
    if (std::int32_t rc = ParseTlvs(m, tlvs); rc != 0) {
        return rc;
    }
    auto* base = static_cast<std::uint8_t*>(dst);
    // Writes are bounded by the message's structure, which fits the destination.
    Decoder d{base, m.desc->c_struct_sz, m.table, nullptr};
    bool seen[256] = {};
    std::uint8_t result = 0;
    Input in{static_cast<const std::uint8_t*>(src), src_len};
    while (in.left > 0) {
        if (in.left < kTlvHeaderSize) {
            return HMX_IDL_LENGTH_INCONSISTENCY;
        }
        std::uint8_t type = in.p[0];
        std::uint32_t length = in.p[1] | static_cast<std::uint32_t>(in.p[2]) << 8;
        in.p += kTlvHeaderSize;
        in.left -= kTlvHeaderSize;
        if (length > in.left) {
            return HMX_IDL_LENGTH_INCONSISTENCY;
        }
        const TlvEntry* t = nullptr;
        for (int i = 0; i < tlvs.count; ++i) {
            if (tlvs.entries[i].type == type) {
                t = &tlvs.entries[i];
                break;
            }
        }
        if (t == nullptr) {
            if (type < 0x10) {
                return HMX_IDL_UNKNOWN_MANDATORY_TLV;
            }
            in.p += length;
            in.left -= length;
            continue;
        }
        if (seen[type]) {
            return HMX_IDL_DUPLICATE_TLV;
        }
        seen[type] = true;
        d.validFlag = nullptr;
        if (t->optional) {
            std::uint8_t* valid = base + t->field.offset - t->validBack;
            if (!d.InDest(valid, 1)) {
                return HMX_IDL_LENGTH_INCONSISTENCY;
            }
            *valid = 1;
            d.validFlag = valid;
        }
        if (kind == HMX_IDL_RESPONSE && type == kResponseHeaderTlv && length > 0) {
            result = in.p[0];
        }
        Input value{in.p, length};
        d.table = m.table;
        if (std::int32_t rc = DecodeField(d, t->field, base, true, value); rc != 0) {
            return rc;
        }
        if (value.left != 0) {
            return HMX_IDL_LENGTH_INCONSISTENCY;
        }
        in.p += length;
        in.left -= length;
    }
    if (result == 0) {
        for (int i = 0; i < tlvs.count; ++i) {
            if (!tlvs.entries[i].optional && !seen[tlvs.entries[i].type]) {
                return HMX_IDL_MISSING_TLV;
            }
        }
    }
    return 0;
}

std::int32_t hmx_idl_get_message_c_struct_len(const hmx_idl_service_object* service, int kind,
                                              std::uint16_t message_id,
                                              std::uint32_t* c_struct_len) {
    if (c_struct_len == nullptr) {
        return HMX_IDL_PARAMETER_ERROR;
    }
    if (std::int32_t rc = CheckArgs(service, kind, nullptr, 0, nullptr, 0); rc != 0) {
        return rc;
    }
    Message m;
    if (std::int32_t rc = hmx_idl_find_message(service, kind, message_id, m); rc != 0) {
        return rc;
    }
    *c_struct_len = m.desc->c_struct_sz;
    return 0;
}

std::int32_t hmx_idl_get_max_message_len(const hmx_idl_service_object* service, int kind,
                                         std::uint16_t message_id, std::uint32_t* message_len) {
    if (message_len == nullptr) {
        return HMX_IDL_PARAMETER_ERROR;
    }
    if (std::int32_t rc = CheckArgs(service, kind, nullptr, 0, nullptr, 0); rc != 0) {
        return rc;
    }
    const hmx_idl_service_object* s = service;
    for (int depth = 0; s != nullptr && depth < kMaxParentDepth; ++depth) {
        const hmx_idl_service_message_table_entry* rows = s->msgid_to_msg[kind];
        for (std::uint16_t i = 0; rows != nullptr && i < s->n_msgs[kind]; ++i) {
            if (rows[i].message_id == message_id) {
                *message_len = rows[i].max_msg_len;
                return 0;
            }
        }
        if (s->library_version < 5) {
            break;
        }
        s = s->parent_service_obj;
    }
    return HMX_IDL_MSG_ID_NOT_FOUND;
}

std::int32_t hmx_idl_get_service_id(const hmx_idl_service_object* service,
                                    std::uint32_t* service_id) {
    return GetServiceValue(service, &hmx_idl_service_object::service_id, service_id);
}

std::int32_t hmx_idl_get_idl_version(const hmx_idl_service_object* service,
                                     std::uint32_t* idl_version) {
    return GetServiceValue(service, &hmx_idl_service_object::idl_version, idl_version);
}
