#include "tools/tavrix-sim/eds.hpp"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "firmware/canopen/object_dictionary.hpp"
#include "firmware/properties/property_table.hpp"

namespace tavrix::tools {

namespace {

using canopen::Accessor;
using canopen::kObjectDictionary;
using canopen::OdRow;

// What the node does differently from what masters commonly assume; written to [Comments].
const char* const kComments[] = {
    "Tavrix servo drive, CANopen slave after the protocol switch (first two-byte frame).",
    "SDO: expedited transfers only. A download must carry exactly the object's size:",
    "  5 bytes for UNSIGNED8, 6 for UNSIGNED16, 8 for 32-bit objects; any other length",
    "  is aborted with 0x05040002. Uploads always answer 4 data bytes (0x42).",
    "  A client's abort (0x80) is not answered.",
    "NMT: no boot-up message; the first message is a heartbeat with state 5 or 127 (0x1F80).",
    "0x1017 is read as a signed 16-bit period: 0 or 32768..65535 ms stop the heartbeat",
    "  after the next beat; a later valid period takes effect at the next slave start.",
    "0x1010 sub 1: only 0x65766173 (\"save\") stores; other values are acknowledged, ignored.",
    "TPDO COB-ID bit 31 (PDO not valid): never sent, its SYNC counter keeps counting;",
    "  bit 30 is ignored; bit 29 sends a 29-bit identifier. TPDOs are sent on SYNC only",
    "  (types 0..240); RPDO types 0..240 are applied at the due SYNC, 255 at once.",
    "PDO mapping: at most 4 entries, within 8 bytes, objects with PDOMapping=1 and the",
    "  access the direction needs; refused with 0x06020000, 0x06040041, 0x06040042,",
    "  0x06090031. Stored mappings are checked entry by entry when used.",
    "RPDO COB-IDs are received only when their low 7 bits equal the node-ID, 0 or 1.",
    "0x3F00 sub N reads property N (32-bit pairs whole); writes are acknowledged, ignored.",
    "0x1014 and 0x1200 are derived from the node-ID whenever the slave starts.",
};

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}
std::string hex4(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X", v);
  return buf;
}

// The rows of one object, in table order.
struct Object {
  uint16_t idx;
  std::vector<const OdRow*> rows;
};

std::vector<Object> objectsAscending() {
  std::vector<Object> objects;
  for (const OdRow& r : kObjectDictionary) {
    if (r.idx == 0) break;
    Object* o = nullptr;
    for (Object& existing : objects) {
      if (existing.idx == r.idx) o = &existing;
    }
    if (o == nullptr) {
      objects.push_back({r.idx, {}});
      o = &objects.back();
    }
    o->rows.push_back(&r);
  }
  for (size_t i = 1; i < objects.size(); ++i) {  // insertion sort: stable, tiny
    for (size_t j = i; j > 0 && objects[j - 1].idx > objects[j].idx; --j) {
      std::swap(objects[j - 1], objects[j]);
    }
  }
  return objects;
}

bool isRecord(uint16_t idx) {
  return idx == 0x1018 || idx == 0x1200 || (idx >= 0x1400 && idx <= 0x1403) ||
         (idx >= 0x1800 && idx <= 0x1803) || idx == 0x3F00;
}

const char* dataType(const OdRow& r) {
  switch (canopen::sizeCode(r)) {
    case canopen::SIZE_U8: return "0x0005";
    case canopen::SIZE_U16: return "0x0006";
    case canopen::SIZE_STR4: return "0x0009";
    default: return "0x0007";
  }
}

const char* accessType(const OdRow& r) {
  const bool read = r.read != Accessor::kNone;
  const bool write = r.write != Accessor::kNone;
  return read && write ? "rw" : write ? "wo" : "ro";
}

std::string defaultValue(const OdRow& r) {
  if (r.nodeIdBase != 0) return "$NODEID+" + hex(r.nodeIdBase);
  if (canopen::sizeCode(r) == canopen::SIZE_STR4) {
    // The characters up to the first NUL; a value with other bytes has no text default.
    std::string s;
    for (int b = 0; b < 4; ++b) {
      const auto c = static_cast<char>((r.initial >> (8 * b)) & 0xFF);
      if (c == 0) break;
      if (c < 0x20 || c > 0x7E) return "";
      s += c;
    }
    return s;
  }
  return r.initial == 0 ? "0" : hex(r.initial);
}

std::string subName(const Object& o, const OdRow& r) {
  if (r.subName != nullptr) return r.subName;
  if (r.idx == 0x3F00) {
    const char* name = kPropertyInfo[r.subIdx].name;
    return "Property " + std::to_string(r.subIdx) + (name != nullptr ? std::string(" ") + name : "");
  }
  if (o.rows.size() == 1) return r.objectName;
  return "Entry " + std::to_string(r.subIdx);
}

void writeVarBody(std::ostream& out, const OdRow& r, const std::string& name) {
  out << "ParameterName=" << name << "\n";
  out << "ObjectType=0x7\n";
  out << "DataType=" << dataType(r) << "\n";
  out << "AccessType=" << accessType(r) << "\n";
  out << "DefaultValue=" << defaultValue(r) << "\n";
  out << "PDOMapping=" << (r.pdoMappable ? 1 : 0) << "\n";
}

void writeObject(std::ostream& out, const Object& o) {
  const OdRow& first = *o.rows.front();
  out << "[" << hex4(o.idx) << "]\n";
  if (o.rows.size() == 1 && first.subIdx == 0) {
    writeVarBody(out, first, first.objectName);
    out << "\n";
    return;
  }
  out << "ParameterName=" << first.objectName << "\n";
  out << "ObjectType=" << (isRecord(o.idx) ? "0x9" : "0x8") << "\n";
  out << "SubNumber=" << o.rows.size() << "\n\n";
  for (const OdRow* r : o.rows) {
    out << "[" << hex4(o.idx) << "sub" << std::hex << std::uppercase << int{r->subIdx} << std::dec
        << "]\n";
    writeVarBody(out, *r, subName(o, *r));
    out << "\n";
  }
}

void writeList(std::ostream& out, const char* section, const std::vector<uint16_t>& indices) {
  out << "[" << section << "]\n";
  out << "SupportedObjects=" << indices.size() << "\n";
  for (size_t i = 0; i < indices.size(); ++i) out << i + 1 << "=" << hex(indices[i]) << "\n";
  out << "\n";
}

}  // namespace

void writeEds(std::ostream& out) {
  const std::vector<Object> objects = objectsAscending();

  out << "[FileInfo]\n"
         "FileName=tavrix.eds\n"
         "FileVersion=1\n"
         "FileRevision=0\n"
         "EDSVersion=4.0\n"
         "Description=Tavrix single-axis servo drive, CANopen slave\n"
         "CreationTime=12:00PM\n"
         "CreationDate=12-08-2026\n"
         "CreatedBy=tavrix-sim --eds\n"
         "ModificationTime=12:00PM\n"
         "ModificationDate=12-08-2026\n"
         "ModifiedBy=tavrix-sim --eds\n\n";

  out << "[DeviceInfo]\n"
         "VendorName=Tavrix\n"
      << "VendorNumber=" << hex(canopen::kVendorId) << "\n"
      << "ProductName=Tavrix servo drive\n"
      << "ProductNumber=" << hex(canopen::kProductCode) << "\n"
      << "RevisionNumber=0\n"
         "OrderCode=Tavrix servo drive\n"
         "BaudRate_10=0\n"
         "BaudRate_20=0\n"
         "BaudRate_50=0\n"
         "BaudRate_125=0\n"
         "BaudRate_250=0\n"
         "BaudRate_500=0\n"
         "BaudRate_800=0\n"
         "BaudRate_1000=1\n"
         "SimpleBootUpMaster=0\n"
         "SimpleBootUpSlave=1\n"
         "Granularity=8\n"
         "DynamicChannelsSupported=0\n"
         "GroupMessaging=0\n"
         "NrOfRXPDO=4\n"
         "NrOfTXPDO=4\n"
         "LSS_Supported=0\n\n";

  out << "[DummyUsage]\n";
  for (int i = 1; i <= 7; ++i) out << "Dummy000" << i << "=0\n";
  out << "\n";

  out << "[Comments]\n";
  out << "Lines=" << std::size(kComments) << "\n";
  for (size_t i = 0; i < std::size(kComments); ++i) {
    out << "Line" << i + 1 << "=" << kComments[i] << "\n";
  }
  out << "\n";

  std::vector<uint16_t> mandatory;
  std::vector<uint16_t> optional;
  std::vector<uint16_t> manufacturer;
  for (const Object& o : objects) {
    if (o.idx == 0x1000 || o.idx == 0x1001 || o.idx == 0x1018) {
      mandatory.push_back(o.idx);
    } else if (o.idx >= 0x2000 && o.idx < 0x6000) {
      manufacturer.push_back(o.idx);
    } else {
      optional.push_back(o.idx);
    }
  }
  writeList(out, "MandatoryObjects", mandatory);
  for (const Object& o : objects) {
    if (o.idx == 0x1000 || o.idx == 0x1001 || o.idx == 0x1018) writeObject(out, o);
  }
  writeList(out, "OptionalObjects", optional);
  for (const Object& o : objects) {
    if (!(o.idx == 0x1000 || o.idx == 0x1001 || o.idx == 0x1018) &&
        !(o.idx >= 0x2000 && o.idx < 0x6000)) {
      writeObject(out, o);
    }
  }
  writeList(out, "ManufacturerObjects", manufacturer);
  for (const Object& o : objects) {
    if (o.idx >= 0x2000 && o.idx < 0x6000) writeObject(out, o);
  }
}

}  // namespace tavrix::tools
