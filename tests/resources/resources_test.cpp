// Reads the compiled resource script (a .res file made by windres) and checks the
// main dialog's template and the icon groups from the bytes Windows will load.
#include "resources/resource.h"
#include "resources/texts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kRtIcon = 3;
constexpr uint16_t kRtDialog = 5;
constexpr uint16_t kRtGroupIcon = 14;
constexpr uint16_t kRtVersion = 16;
constexpr uint16_t kRtManifest = 24;

constexpr uint32_t kWsPopup = 0x80000000;
constexpr uint32_t kWsChild = 0x40000000;
constexpr uint32_t kWsVisible = 0x10000000;
constexpr uint32_t kWsCaption = 0x00C00000;
constexpr uint32_t kWsBorder = 0x00800000;
constexpr uint32_t kWsSysMenu = 0x00080000;
constexpr uint32_t kWsGroup = 0x00020000;
constexpr uint32_t kWsTabStop = 0x00010000;
constexpr uint32_t kDsSetFont = 0x40;
constexpr uint32_t kDsModalFrame = 0x80;
constexpr uint32_t kDsFixedSys = 0x08;
constexpr uint32_t kDsCenter = 0x0800;
constexpr uint32_t kBsPushButton = 0;
constexpr uint32_t kBsDefPushButton = 1;
constexpr uint32_t kSsLeft = 0;

// A name or an ordinal, as resource files and dialog templates spell them.
struct NameOrId {
  bool isId;
  uint16_t id;
  std::u16string name;
};

struct Resource {
  NameOrId type;
  NameOrId name;
  uint16_t language;
  std::vector<uint8_t> data;
};

// Little-endian reads with bounds checks; a short read marks the reader failed.
struct Reader {
  const std::vector<uint8_t>* bytes;
  size_t offset;
  size_t end;
  bool failed;
};

Reader MakeReader(const std::vector<uint8_t>& bytes, size_t offset, size_t end) {
  return Reader{&bytes, offset, end, false};
}

bool Take(Reader* reader, size_t count) {
  if (reader->failed || reader->end - reader->offset < count || reader->offset > reader->end) {
    reader->failed = true;
    return false;
  }
  return true;
}

uint8_t Byte(Reader* reader) {
  if (!Take(reader, 1)) return 0;
  return (*reader->bytes)[reader->offset++];
}

uint16_t Word(Reader* reader) {
  uint16_t low = Byte(reader);
  return static_cast<uint16_t>(low | (Byte(reader) << 8));
}

uint32_t Dword(Reader* reader) {
  uint32_t low = Word(reader);
  return low | (static_cast<uint32_t>(Word(reader)) << 16);
}

int16_t Short(Reader* reader) { return static_cast<int16_t>(Word(reader)); }

void AlignDword(Reader* reader, size_t base) {
  while ((reader->offset - base) % 4 != 0 && !reader->failed) Byte(reader);
}

std::u16string String(Reader* reader) {
  std::u16string text;
  for (;;) {
    uint16_t unit = Word(reader);
    if (reader->failed || unit == 0) return text;
    text.push_back(static_cast<char16_t>(unit));
  }
}

// 0xFFFF then an ordinal, or a zero-ended UTF-16 string (empty when the first unit is 0).
NameOrId ReadNameOrId(Reader* reader) {
  NameOrId value{false, 0, {}};
  size_t start = reader->offset;
  if (Word(reader) == 0xFFFF) {
    value.isId = true;
    value.id = Word(reader);
    return value;
  }
  reader->offset = start;
  value.name = String(reader);
  return value;
}

std::vector<uint8_t> ReadFile(const char* path) {
  std::vector<uint8_t> bytes;
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return bytes;
  uint8_t chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  std::fclose(file);
  return bytes;
}

// A .res file: entries of header (sizes, type, name, language...) then data, each
// part padded to four bytes. The first entry is the empty one that marks the format.
bool ParseResourceFile(const std::vector<uint8_t>& bytes, std::vector<Resource>* resources) {
  size_t offset = 0;
  while (offset < bytes.size()) {
    Reader reader = MakeReader(bytes, offset, bytes.size());
    uint32_t dataSize = Dword(&reader);
    uint32_t headerSize = Dword(&reader);
    Resource resource;
    resource.type = ReadNameOrId(&reader);
    resource.name = ReadNameOrId(&reader);
    AlignDword(&reader, offset);
    Dword(&reader);  // data version
    Word(&reader);   // memory flags
    resource.language = Word(&reader);
    Dword(&reader);  // version
    Dword(&reader);  // characteristics
    if (reader.failed || reader.offset - offset != headerSize) return false;
    if (bytes.size() - reader.offset < dataSize) return false;
    resource.data.assign(bytes.begin() + static_cast<long>(reader.offset),
                         bytes.begin() + static_cast<long>(reader.offset + dataSize));
    offset = reader.offset + dataSize;
    offset = (offset + 3) & ~size_t{3};
    if (dataSize == 0 && resource.type.isId && resource.type.id == 0) continue;
    resources->push_back(resource);
  }
  return true;
}

struct DialogItem {
  uint32_t helpId;
  uint32_t exStyle;
  uint32_t style;
  int16_t x, y, cx, cy;
  uint32_t id;
  NameOrId windowClass;
  NameOrId text;
  uint16_t extraCount;
};

struct DialogEx {
  uint16_t version;
  uint16_t signature;
  uint32_t helpId;
  uint32_t exStyle;
  uint32_t style;
  uint16_t itemCount;
  int16_t x, y, cx, cy;
  NameOrId menu;
  NameOrId windowClass;
  std::u16string title;
  uint16_t pointSize;
  uint16_t weight;
  uint8_t italic;
  uint8_t charset;
  std::u16string typeface;
  std::vector<DialogItem> items;
};

bool ParseDialogEx(const std::vector<uint8_t>& bytes, DialogEx* dialog) {
  Reader reader = MakeReader(bytes, 0, bytes.size());
  dialog->version = Word(&reader);
  dialog->signature = Word(&reader);
  if (dialog->version != 1 || dialog->signature != 0xFFFF) return false;
  dialog->helpId = Dword(&reader);
  dialog->exStyle = Dword(&reader);
  dialog->style = Dword(&reader);
  dialog->itemCount = Word(&reader);
  dialog->x = Short(&reader);
  dialog->y = Short(&reader);
  dialog->cx = Short(&reader);
  dialog->cy = Short(&reader);
  dialog->menu = ReadNameOrId(&reader);
  dialog->windowClass = ReadNameOrId(&reader);
  dialog->title = String(&reader);
  if (dialog->style & kDsSetFont) {
    dialog->pointSize = Word(&reader);
    dialog->weight = Word(&reader);
    dialog->italic = Byte(&reader);
    dialog->charset = Byte(&reader);
    dialog->typeface = String(&reader);
  }
  for (uint16_t i = 0; i < dialog->itemCount && !reader.failed; ++i) {
    AlignDword(&reader, 0);
    DialogItem item;
    item.helpId = Dword(&reader);
    item.exStyle = Dword(&reader);
    item.style = Dword(&reader);
    item.x = Short(&reader);
    item.y = Short(&reader);
    item.cx = Short(&reader);
    item.cy = Short(&reader);
    item.id = Dword(&reader);
    item.windowClass = ReadNameOrId(&reader);
    item.text = ReadNameOrId(&reader);
    item.extraCount = Word(&reader);
    if (!Take(&reader, item.extraCount)) return false;
    reader.offset += item.extraCount;
    dialog->items.push_back(item);
  }
  return !reader.failed;
}

std::u16string Utf16(const char* ascii) {
  std::u16string text;
  for (const char* c = ascii; *c != '\0'; ++c) text.push_back(static_cast<char16_t>(*c));
  return text;
}

std::string Narrow(const std::u16string& text) {
  std::string narrow;
  for (char16_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return narrow;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

class ResourceScript : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::vector<uint8_t> bytes = ReadFile(SENTROVA_TEST_RES);
    ASSERT_FALSE(bytes.empty()) << "cannot read " << SENTROVA_TEST_RES;
    ASSERT_TRUE(ParseResourceFile(bytes, &resources_)) << "not a well-formed .res file";
  }

  static const Resource* Find(uint16_t type, uint16_t id) {
    const Resource* found = nullptr;
    for (const Resource& resource : resources_) {
      if (resource.type.isId && resource.type.id == type && resource.name.isId && resource.name.id == id) {
        EXPECT_EQ(found, nullptr) << "resource " << type << "/" << id << " is defined twice";
        found = &resource;
      }
    }
    return found;
  }

  static std::vector<Resource> resources_;
};

std::vector<Resource> ResourceScript::resources_;

TEST(ResourceIds, AreTheOnesTheProgramLoads) {
  EXPECT_EQ(IDD_MAIN, 129);
  EXPECT_EQ(IDC_PROGRESS, 1000);
  EXPECT_EQ(IDI_SENTROVA, 107);
  EXPECT_EQ(IDI_SENTROVA_SMALL, 108);
}

TEST_F(ResourceScript, MainDialogTemplate) {
  const Resource* resource = Find(kRtDialog, IDD_MAIN);
  ASSERT_NE(resource, nullptr);
  EXPECT_EQ(resource->language, 0) << "the dialog should load under any user language";
  DialogEx dialog{};
  ASSERT_TRUE(ParseDialogEx(resource->data, &dialog)) << "not a DIALOGEX template";

  EXPECT_EQ(dialog.style, kWsPopup | kWsSysMenu | kDsModalFrame | kDsCenter | kDsSetFont | kDsFixedSys);
  EXPECT_EQ(dialog.style & kWsCaption, 0u) << "the dialog has no title bar";
  EXPECT_EQ(dialog.exStyle, 0u);
  EXPECT_EQ(dialog.helpId, 0u);
  EXPECT_EQ(dialog.x, 0);
  EXPECT_EQ(dialog.y, 0);
  EXPECT_EQ(dialog.cx, 169);
  EXPECT_EQ(dialog.cy, 116);
  EXPECT_TRUE(!dialog.menu.isId && dialog.menu.name.empty()) << "no menu";
  EXPECT_TRUE(!dialog.windowClass.isId && dialog.windowClass.name.empty()) << "no class of its own";
  EXPECT_EQ(dialog.title, u"");
  EXPECT_EQ(dialog.pointSize, 8);
  EXPECT_EQ(dialog.weight, 400);
  EXPECT_EQ(dialog.italic, 0);
  EXPECT_EQ(dialog.charset, 1);
  EXPECT_EQ(dialog.typeface, u"MS Shell Dlg");

  struct Expected {
    const char* windowClass;  // "button" and "static" may be stored as atoms
    uint16_t atom;
    uint32_t id;
    const char* text;
    uint32_t style;
    int16_t x, y, cx, cy;
  };
  const uint32_t kStatic = kWsChild | kWsVisible | kWsGroup | kSsLeft;
  const Expected kItems[] = {
      {"button", 0x80, 1, "Detect", kWsChild | kWsVisible | kWsTabStop | kBsDefPushButton, 7, 94, 50, 14},
      {"button", 0x80, 2, "Quit", kWsChild | kWsVisible | kWsTabStop | kBsPushButton, 112, 94, 50, 14},
      {"msctls_progress32", 0, 1000, "", kWsChild | kWsVisible | kWsBorder, 7, 75, 155, 10},
      {"static", 0x82, 0xFFFFFFFF, "Sentrova v1.04", kStatic, 50, 14, 60, 8},
      {"static", 0x82, 0xFFFFFFFF, SENTROVA_TEXT_RIGHTS, kStatic, 40, 31, 81, 8},
      {"static", 0x82, 0xFFFFFFFF, SENTROVA_TEXT_PUBLISHER, kStatic, 59, 44, 46, 8},
      {"static", 0x82, 0xFFFFFFFF, SENTROVA_TEXT_WEB, kStatic, 43, 57, 78, 8},
  };
  ASSERT_EQ(dialog.itemCount, 7);
  ASSERT_EQ(dialog.items.size(), 7u);
  for (size_t i = 0; i < 7; ++i) {
    const Expected& want = kItems[i];
    const DialogItem& item = dialog.items[i];
    SCOPED_TRACE("control " + std::to_string(i + 1));
    if (item.windowClass.isId) {
      EXPECT_EQ(item.windowClass.id, want.atom);
      EXPECT_NE(want.atom, 0) << "this class has no atom";
    } else {
      EXPECT_EQ(Lower(Narrow(item.windowClass.name)), want.windowClass);
    }
    EXPECT_EQ(item.id, want.id);
    EXPECT_FALSE(item.text.isId);
    EXPECT_EQ(item.text.name, Utf16(want.text));
    EXPECT_EQ(item.style, want.style);
    EXPECT_EQ(item.exStyle, 0u);
    EXPECT_EQ(item.helpId, 0u);
    EXPECT_EQ(item.x, want.x);
    EXPECT_EQ(item.y, want.y);
    EXPECT_EQ(item.cx, want.cx);
    EXPECT_EQ(item.cy, want.cy);
    EXPECT_EQ(item.extraCount, 0);
  }
}

// The credit lines are ours to choose; they name the program and stay short enough
// for their statics (about four dialog units to an average character).
TEST(Texts, CreditLinesNameTheProgramAndFitTheirStatics) {
  EXPECT_STREQ(SENTROVA_TEXT_VERSION, "Sentrova v1.04");
  EXPECT_STREQ(SENTROVA_TEXT_DETECT, "Detect");
  EXPECT_STREQ(SENTROVA_TEXT_QUIT, "Quit");
  const struct {
    const char* text;
    size_t width;
  } kCredits[] = {{SENTROVA_TEXT_RIGHTS, 81}, {SENTROVA_TEXT_PUBLISHER, 46}, {SENTROVA_TEXT_WEB, 78}};
  for (const auto& credit : kCredits) {
    std::string text = credit.text;
    EXPECT_NE(Lower(text).find("sentrova"), std::string::npos) << text;
    EXPECT_LE(text.size() * 4, credit.width + 4 * 4) << text;
  }
}

struct IconEntry {
  uint8_t width;
  uint8_t height;
  uint8_t colourCount;
  uint16_t planes;
  uint16_t bitCount;
  uint32_t bytes;
  uint16_t iconId;
};

bool ParseGroupIcon(const std::vector<uint8_t>& bytes, std::vector<IconEntry>* entries) {
  Reader reader = MakeReader(bytes, 0, bytes.size());
  if (Word(&reader) != 0 || Word(&reader) != 1) return false;
  uint16_t count = Word(&reader);
  for (uint16_t i = 0; i < count; ++i) {
    IconEntry entry;
    entry.width = Byte(&reader);
    entry.height = Byte(&reader);
    entry.colourCount = Byte(&reader);
    Byte(&reader);
    entry.planes = Word(&reader);
    entry.bitCount = Word(&reader);
    entry.bytes = Dword(&reader);
    entry.iconId = Word(&reader);
    entries->push_back(entry);
  }
  return !reader.failed && reader.offset == bytes.size();
}

// Both groups: 32 and 16 pixels at 16 colours, 48, 32 and 16 at 256 colours and at
// 32-bit colour, each image present as an RT_ICON of the size the group states, as
// a bitmap of that size and depth with its mask.
TEST_F(ResourceScript, IconGroupsHoldTheSameEightImages) {
  const struct {
    uint8_t size;
    uint16_t bitCount;
    uint8_t colourCount;
  } kImages[] = {{32, 4, 16}, {16, 4, 16}, {48, 8, 0}, {32, 8, 0}, {16, 8, 0}, {48, 32, 0}, {32, 32, 0}, {16, 32, 0}};

  std::vector<std::vector<uint8_t>> imagesOfGroup[2];
  std::vector<uint16_t> iconIds;
  const uint16_t kGroups[] = {IDI_SENTROVA, IDI_SENTROVA_SMALL};
  for (int g = 0; g < 2; ++g) {
    SCOPED_TRACE("icon group " + std::to_string(kGroups[g]));
    const Resource* group = Find(kRtGroupIcon, kGroups[g]);
    ASSERT_NE(group, nullptr);
    std::vector<IconEntry> entries;
    ASSERT_TRUE(ParseGroupIcon(group->data, &entries));
    ASSERT_EQ(entries.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
      SCOPED_TRACE("image " + std::to_string(i));
      const IconEntry& entry = entries[i];
      EXPECT_EQ(entry.width, kImages[i].size);
      EXPECT_EQ(entry.height, kImages[i].size);
      EXPECT_EQ(entry.bitCount, kImages[i].bitCount);
      EXPECT_EQ(entry.colourCount, kImages[i].colourCount);
      EXPECT_EQ(entry.planes, 1);
      iconIds.push_back(entry.iconId);

      const Resource* icon = Find(kRtIcon, entry.iconId);
      ASSERT_NE(icon, nullptr) << "group names a missing icon image";
      ASSERT_EQ(icon->data.size(), entry.bytes);
      Reader header = MakeReader(icon->data, 0, icon->data.size());
      uint32_t headerSize = Dword(&header);
      uint32_t width = Dword(&header);
      uint32_t height = Dword(&header);
      uint16_t planes = Word(&header);
      uint16_t bitCount = Word(&header);
      uint32_t compression = Dword(&header);
      ASSERT_FALSE(header.failed);
      EXPECT_EQ(headerSize, 40u);
      EXPECT_EQ(width, kImages[i].size);
      EXPECT_EQ(height, 2u * kImages[i].size) << "colour bits and mask";
      EXPECT_EQ(planes, 1);
      EXPECT_EQ(bitCount, kImages[i].bitCount);
      EXPECT_EQ(compression, 0u);
      size_t n = kImages[i].size;
      size_t palette = bitCount <= 8 ? (size_t{1} << bitCount) * 4 : 0;
      size_t colourRow = (n * bitCount + 31) / 32 * 4;
      size_t maskRow = (n + 31) / 32 * 4;
      EXPECT_EQ(icon->data.size(), 40 + palette + (colourRow + maskRow) * n);
      imagesOfGroup[g].push_back(icon->data);
    }
  }
  EXPECT_EQ(imagesOfGroup[0], imagesOfGroup[1]);
  std::sort(iconIds.begin(), iconIds.end());
  EXPECT_EQ(std::adjacent_find(iconIds.begin(), iconIds.end()), iconIds.end())
      << "each group has images of its own";
}

// The classic controls (no version 6 dependency: its progress bar animates on timers
// that a blocked dialog never runs), asInvoker, and system DPI awareness.
TEST_F(ResourceScript, ManifestKeepsClassicControlsAndIsDpiAware) {
  const Resource* manifest = Find(kRtManifest, 1);
  ASSERT_NE(manifest, nullptr);
  std::string text(manifest->data.begin(), manifest->data.end());
  EXPECT_EQ(text.find("Common-Controls"), std::string::npos);
  EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(text.find("<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>"),
            std::string::npos);
}

// One node of a version resource: its size, the size of its value (in characters for
// text, in bytes otherwise), its type (1 text, 0 binary), a zero-ended key, padding to
// four bytes, the value, padding, then its children up to its size.
struct VersionNode {
  std::u16string key;
  uint16_t type;
  std::vector<uint8_t> value;
  std::vector<VersionNode> children;
};

bool ParseVersionNode(const std::vector<uint8_t>& bytes, size_t offset, size_t limit, VersionNode* node) {
  Reader reader = MakeReader(bytes, offset, limit);
  uint16_t length = Word(&reader);
  uint16_t valueLength = Word(&reader);
  node->type = Word(&reader);
  node->key = String(&reader);
  AlignDword(&reader, 0);
  if (reader.failed || length < 6 || limit - offset < length || reader.offset > offset + length) return false;
  size_t end = offset + length;
  size_t valueBytes = node->type == 1 ? valueLength * size_t{2} : valueLength;
  if (end - reader.offset < valueBytes) return false;
  node->value.assign(bytes.begin() + static_cast<long>(reader.offset),
                     bytes.begin() + static_cast<long>(reader.offset + valueBytes));
  size_t child = (reader.offset + valueBytes + 3) & ~size_t{3};
  while (child < end) {
    VersionNode next;
    if (!ParseVersionNode(bytes, child, end, &next)) return false;
    node->children.push_back(next);
    child = (child + (bytes[child] | (bytes[child + 1] << 8)) + 3) & ~size_t{3};
  }
  return true;
}

const VersionNode* Child(const VersionNode& node, const char16_t* key) {
  for (const VersionNode& child : node.children) {
    if (child.key == key) return &child;
  }
  return nullptr;
}

std::u16string TextValue(const VersionNode& node) {
  std::u16string text;
  for (size_t i = 0; i + 1 < node.value.size(); i += 2) {
    char16_t unit = static_cast<char16_t>(node.value[i] | (node.value[i + 1] << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

// "1.04" is 1.4.0.0: the major number, then the minor one.
bool VersionNumbers(const char* version, uint32_t* mostSignificant) {
  char* end = nullptr;
  unsigned long major = std::strtoul(version, &end, 10);
  if (end == version || *end != '.') return false;
  const char* minorText = end + 1;
  unsigned long minor = std::strtoul(minorText, &end, 10);
  if (end == minorText || *end != '\0' || major > 0xFFFF || minor > 0xFFFF) return false;
  *mostSignificant = static_cast<uint32_t>(major << 16 | minor);
  return true;
}

// What the program prints for --version (stdin is no terminal and has no keys, so a
// program without the option would end without a word).
std::string ProgramVersionLine() {
  std::string command = std::string("'") + SENTROVA_TEST_PROGRAM + "' --version </dev/null 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string output;
  char chunk[256];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
  pclose(pipe);
  return output;
}

// One version everywhere: the dialog's line, the version resource Windows shows in
// the file's Properties, the manifest's identity, the package CPack makes and the
// Linux program's --version all say what texts.h says.
TEST_F(ResourceScript, VersionAgreesEverywhere) {
  uint32_t versionMs = 0;
  ASSERT_TRUE(VersionNumbers(SENTROVA_VERSION, &versionMs)) << SENTROVA_VERSION;
  const uint32_t kFileNumbers[] = {SENTROVA_VERSION_NUMBERS};
  EXPECT_EQ(kFileNumbers[0] << 16 | kFileNumbers[1], versionMs);
  EXPECT_EQ(kFileNumbers[2] << 16 | kFileNumbers[3], 0u);
  EXPECT_EQ(std::string(SENTROVA_TEXT_VERSION), std::string("Sentrova v") + SENTROVA_VERSION);
  EXPECT_STREQ(SENTROVA_PACKAGE_VERSION, SENTROVA_VERSION) << "the project's version is read from texts.h";

  const Resource* dialogResource = Find(kRtDialog, IDD_MAIN);
  ASSERT_NE(dialogResource, nullptr);
  DialogEx dialog{};
  ASSERT_TRUE(ParseDialogEx(dialogResource->data, &dialog));
  ASSERT_GE(dialog.items.size(), 4u);
  EXPECT_EQ(dialog.items[3].text.name, Utf16("Sentrova v" SENTROVA_VERSION));

  const Resource* manifest = Find(kRtManifest, 1);
  ASSERT_NE(manifest, nullptr);
  std::string manifestText(manifest->data.begin(), manifest->data.end());
  std::string identity = "version=\"" + std::to_string(versionMs >> 16) + "." + std::to_string(versionMs & 0xFFFF) + ".0.0\"";
  EXPECT_NE(manifestText.find(identity), std::string::npos) << "the manifest's assemblyIdentity lacks " << identity;

  const Resource* resource = Find(kRtVersion, 1);
  ASSERT_NE(resource, nullptr) << "no VERSIONINFO";
  EXPECT_EQ(resource->language, 0);
  VersionNode root;
  ASSERT_TRUE(ParseVersionNode(resource->data, 0, resource->data.size(), &root)) << "not a version resource";
  EXPECT_EQ(root.key, u"VS_VERSION_INFO");
  EXPECT_EQ(root.type, 0);
  ASSERT_EQ(root.value.size(), 52u) << "VS_FIXEDFILEINFO";
  Reader fixed = MakeReader(root.value, 0, root.value.size());
  EXPECT_EQ(Dword(&fixed), 0xFEEF04BDu) << "signature";
  EXPECT_EQ(Dword(&fixed), 0x00010000u) << "structure version";
  EXPECT_EQ(Dword(&fixed), versionMs) << "file version, high";
  EXPECT_EQ(Dword(&fixed), 0u) << "file version, low";
  EXPECT_EQ(Dword(&fixed), versionMs) << "product version, high";
  EXPECT_EQ(Dword(&fixed), 0u) << "product version, low";
  EXPECT_EQ(Dword(&fixed), 0x3Fu) << "flags mask";
  EXPECT_EQ(Dword(&fixed), 0u) << "flags: no debug, pre-release or patched build";
  EXPECT_EQ(Dword(&fixed), 0x00040004u) << "VOS_NT_WINDOWS32";
  EXPECT_EQ(Dword(&fixed), 1u) << "VFT_APP";
  EXPECT_EQ(Dword(&fixed), 0u) << "subtype";
  EXPECT_EQ(Dword(&fixed), 0u) << "date, high";
  EXPECT_EQ(Dword(&fixed), 0u) << "date, low";
  EXPECT_FALSE(fixed.failed);

  // The strings Explorer shows are those of the table its one translation names.
  const VersionNode* varInfo = Child(root, u"VarFileInfo");
  ASSERT_NE(varInfo, nullptr);
  const VersionNode* translation = Child(*varInfo, u"Translation");
  ASSERT_NE(translation, nullptr);
  ASSERT_EQ(translation->value.size(), 4u) << "one language and code page";
  Reader pair = MakeReader(translation->value, 0, 4);
  uint16_t language = Word(&pair);
  uint16_t codePage = Word(&pair);
  EXPECT_EQ(language, 0x0409) << "US English";
  EXPECT_EQ(codePage, 1200) << "Unicode";
  char tableKey[9];
  std::snprintf(tableKey, sizeof tableKey, "%04X%04X", language, codePage);

  const VersionNode* stringInfo = Child(root, u"StringFileInfo");
  ASSERT_NE(stringInfo, nullptr);
  ASSERT_EQ(stringInfo->children.size(), 1u);
  const VersionNode& table = stringInfo->children[0];
  EXPECT_EQ(table.key, Utf16(tableKey));
  std::map<std::string, std::string> strings;
  for (const VersionNode& entry : table.children) {
    EXPECT_EQ(entry.type, 1) << Narrow(entry.key);
    EXPECT_TRUE(strings.emplace(Narrow(entry.key), Narrow(TextValue(entry))).second) << Narrow(entry.key);
  }
  const std::map<std::string, std::string> kStrings = {
      {"CompanyName", SENTROVA_TEXT_PUBLISHER},     {"FileDescription", SENTROVA_TEXT_DESCRIPTION},
      {"FileVersion", SENTROVA_VERSION},            {"InternalName", "sentrova"},
      {"LegalCopyright", SENTROVA_TEXT_RIGHTS},     {"OriginalFilename", "sentrova.exe"},
      {"ProductName", SENTROVA_TEXT_PRODUCT},       {"ProductVersion", SENTROVA_VERSION},
  };
  EXPECT_EQ(strings, kStrings);

#ifdef SENTROVA_TEST_PROGRAM
  EXPECT_EQ(ProgramVersionLine(), std::string("sentrova ") + SENTROVA_VERSION + "\n");
#endif
}

}  // namespace
