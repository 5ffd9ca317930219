#include "elevation/protocol.h"

#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace ketterlin::elevation {
namespace {

using platform::OsString;
using storage::ElevatedVolume;
using storage::FileSystemKind;

constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();

OsString os(std::string_view utf8) { return platform::from_utf8(utf8); }

// A path the platform cannot express as Unicode: bytes that are not UTF-8 on POSIX, an unpaired
// surrogate on Windows.
OsString invalid_unicode_path() {
  constexpr bool kByteStrings = sizeof(platform::OsChar) == 1;
  OsString path = os("C:/bad");
  path.push_back(static_cast<platform::OsChar>(kByteStrings ? 0xFF : 0xD800));
  return path;
}

std::string repeat(std::string_view piece, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += piece;
  return text;
}

ElevatedScanRequest request_of(ElevatedScanMode mode, std::string_view root,
                               std::vector<std::string_view> targets,
                               std::optional<ElevatedVolume> volume = std::nullopt) {
  ElevatedScanRequest request;
  request.mode = mode;
  request.root = os(root);
  for (std::string_view target : targets) request.targets.push_back(os(target));
  request.volume = volume;
  return request;
}

// ---- Decoding ----

// The shortest complete request, used where the case is about something around it.
constexpr std::string_view kRequestMember =
    R"("request":{"mode":"fullRoot","root":"/","targets":["/"]})";

ElevatedScanRequest minimal_request() { return request_of(ElevatedScanMode::FullRoot, "/", {"/"}); }

std::string with_volume(std::string_view volume_json) {
  return R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":)" +
         std::string(volume_json) + "}}";
}

struct DecodeCase {
  std::string name;
  std::string frame;
  ElevatedScanRequest expected;
};

TEST(DecodeHostMessage, AcceptsWellFormedFrames) {
  const auto full_root = ElevatedScanMode::FullRoot;
  const std::vector<DecodeCase> cases = {
      {"documented example",
       R"({"type":"scan","request":{"mode":"restrictedTopUp","root":"C:\\","targets":["C:\\Users","C:\\Windows"],"volume":{"usedBytes":500,"fileSystem":"ntfs"}}})"
       "\n",
       request_of(ElevatedScanMode::RestrictedTopUp, "C:\\", {"C:\\Users", "C:\\Windows"},
                  ElevatedVolume{500, FileSystemKind::Ntfs})},
      {"type after request", "{" + std::string(kRequestMember) + R"(,"type":"scan"})",
       minimal_request()},
      {"keys in reverse order",
       R"({"request":{"volume":{"fileSystem":"exFat","usedBytes":7},"targets":["/b","/a"],"root":"/","mode":"fullRoot"},"type":"scan"})",
       request_of(full_root, "/", {"/b", "/a"}, ElevatedVolume{7, FileSystemKind::ExFat})},
      {"unknown keys at every level",
       R"({"extra":{"type":"x","request":[1,{"mode":null}]},"type":"scan","request":{"note":[true,false,null,-1,1.5e10,"s",{}],"mode":"fullRoot","root":"/","targets":["/"],"volume":{"serial":18446744073709551616,"usedBytes":1,"fileSystem":"other","more":{"usedBytes":[[]]}}},"version":2})",
       request_of(full_root, "/", {"/"}, ElevatedVolume{1, FileSystemKind::Other})},
      {"unknown key repeated", R"({"x":1,"x":2,"type":"scan",)" + std::string(kRequestMember) + "}",
       minimal_request()},
      {"null volume",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":["/"],"volume":null}})",
       minimal_request()},
      {"missing volume", R"({"type":"scan",)" + std::string(kRequestMember) + "}",
       minimal_request()},
      {"empty targets",
       R"({"type":"scan","request":{"mode":"restrictedTopUp","root":"/","targets":[]}})",
       request_of(ElevatedScanMode::RestrictedTopUp, "/", {})},
      {"empty root", R"({"type":"scan","request":{"mode":"fullRoot","root":"","targets":[""]}})",
       request_of(full_root, "", {""})},
      {"largest used bytes",
       with_volume(R"({"usedBytes":18446744073709551615,"fileSystem":"reFs"})"),
       request_of(full_root, "/", {}, ElevatedVolume{kMaxU64, FileSystemKind::ReFs})},
      {"zero used bytes", with_volume(R"({"usedBytes":0,"fileSystem":"fat32"})"),
       request_of(full_root, "/", {}, ElevatedVolume{0, FileSystemKind::Fat32})},
      {"negative zero used bytes", with_volume(R"({"usedBytes":-0,"fileSystem":"ntfs"})"),
       request_of(full_root, "/", {}, ElevatedVolume{0, FileSystemKind::Ntfs})},
      {"whitespace everywhere and CRLF",
       " \t{\r\n \"type\" : \"scan\" ,\n \"request\" : { \"mode\" : \"fullRoot\" , \"root\" : "
       "\"/\" ,"
       " \"targets\" : [ \"/\" ] } }\r\n",
       minimal_request()},
      {"escapes resolved in paths",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"C:\\Users\\\u00e9\ud83d\ude00","targets":["a\nb\"c\/d\u0001"]}})",
       request_of(full_root, "C:\\Users\\\u00e9\U0001F600", {"a\nb\"c/d\x01"})},
      {"raw non-ASCII path",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/données/日本","targets":[]}})",
       request_of(full_root, "/données/日本", {})},
      {"126 nested levels inside the request",
       "{\"type\":\"scan\"," + std::string(kRequestMember.substr(0, kRequestMember.size() - 1)) +
           ",\"x\":" + repeat("[", 125) + repeat("]", 125) + "}}",
       minimal_request()},
      {"lossless paths asked for",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":["/"],"losslessPaths":true}})",
       [] {
         ElevatedScanRequest request = minimal_request();
         request.lossless_paths = true;
         return request;
       }()},
      {"lossless paths refused in words",
       R"({"type":"scan","request":{"losslessPaths":false,"mode":"fullRoot","root":"/","targets":["/"]}})",
       minimal_request()},
      {"127 nested levels in a skipped value",
       "{\"type\":\"scan\"," + std::string(kRequestMember) + ",\"x\":" + repeat("{\"a\":", 126) +
           "1" + repeat("}", 126) + "}",
       minimal_request()},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto decoded = decode_host_message(c.frame);
    if (!decoded) {
      ADD_FAILURE() << to_string(decoded.error());
      continue;
    }
    EXPECT_EQ(decoded->request, c.expected);
  }
}

TEST(DecodeHostMessage, ReadsEveryFileSystemWord) {
  const std::vector<std::pair<std::string, FileSystemKind>> cases = {
      {"ntfs", FileSystemKind::Ntfs},   {"reFs", FileSystemKind::ReFs},
      {"fat32", FileSystemKind::Fat32}, {"exFat", FileSystemKind::ExFat},
      {"other", FileSystemKind::Other},
  };
  for (const auto& [word, kind] : cases) {
    SCOPED_TRACE(word);
    const auto decoded =
        decode_host_message(with_volume(R"({"usedBytes":3,"fileSystem":")" + word + "\"}"));
    if (!decoded) {
      ADD_FAILURE() << to_string(decoded.error());
      continue;
    }
    EXPECT_EQ(decoded->request.volume, (ElevatedVolume{3, kind}));
  }
}

struct DecodeErrorCase {
  std::string name;
  std::string frame;
  std::string expected_text;
};

// Decodes each case's frame and expects exactly its error text.
template <typename Cases>
void expect_decode_errors(const Cases& cases) {
  for (const DecodeErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto decoded = decode_host_message(c.frame);
    if (decoded) {
      ADD_FAILURE() << "decoded although it should not";
      continue;
    }
    EXPECT_EQ(to_string(decoded.error()), c.expected_text);
  }
}

TEST(DecodeHostMessage, RefusesWithPositionedError) {
  const std::vector<DecodeErrorCase> cases = {
      {"missing request", R"({"type":"scan"})", "missing field `request` at line 1 column 15"},
      {"missing type, reported before anything inside the request", R"({"request":{}})",
       "missing field `type` at line 1 column 14"},
      {"type judged where it stands, before the request",
       R"({"request":{"mode":"bad"},"type":"Scan"})",
       "unknown variant `Scan`, expected `scan` at line 1 column 39"},
      {"missing type before a second request",
       R"({"request":{"mode":"fullRoot","root":"/","targets":["/"]},"request":{}})",
       "missing field `type` at line 1 column 71"},
      {"a syntax error after the request wins over what is inside it",
       R"({"type":"scan","request":{"mode":"bad"},"x":[})", "expected value at line 1 column 46"},
      {"an error inside the volume is reported at the closing brace",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":["/"],"volume":{"usedBytes":-1,"fileSystem":"ntfs"}},"x":1})",
       "invalid value: integer `-1`, expected an unsigned 64-bit integer at line 1 column 124"},
      {"an invalid mode is reported at the closing brace",
       R"({"type":"scan","request":{"mode":5}})",
       "invalid type: integer `5`, expected a scan mode string at line 1 column 36"},
      {"missing type", R"({"request":{"mode":"fullRoot","root":"/","targets":["/"]}})",
       "missing field `type` at line 1 column 58"},
      {"missing type before request", "{}", "missing field `type` at line 1 column 2"},
      {"missing mode first", R"({"type":"scan","request":{}})",
       "missing field `mode` at line 1 column 28"},
      {"missing root before targets", R"({"type":"scan","request":{"mode":"fullRoot"}})",
       "missing field `root` at line 1 column 45"},
      {"missing mode after others", R"({"type":"scan","request":{"targets":[],"root":"/"}})",
       "missing field `mode` at line 1 column 51"},
      {"missing targets", R"({"type":"scan","request":{"mode":"fullRoot","root":"/"}})",
       "missing field `targets` at line 1 column 56"},
      {"missing used bytes first",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":{}}})",
       "missing field `usedBytes` at line 1 column 81"},
      {"missing file system",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":{"usedBytes":1}}})",
       "missing field `fileSystem` at line 1 column 94"},
      {"duplicate type",
       R"({"type":"scan","type":"scan","request":{"mode":"fullRoot","root":"/","targets":["/"]}})",
       "duplicate field `type` at line 1 column 21"},
      {"duplicate request",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":["/"]},"request":{"mode":"fullRoot","root":"/","targets":["/"]}})",
       "duplicate field `request` at line 1 column 129"},
      {"duplicate mode",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":null,"mode":"fullRoot"}})",
       "duplicate field `mode` at line 1 column 101"},
      {"duplicate root",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":null,"root":"/"}})",
       "duplicate field `root` at line 1 column 94"},
      {"duplicate targets",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":null,"targets":[]}})",
       "duplicate field `targets` at line 1 column 96"},
      {"duplicate volume",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":null,"volume":null}})",
       "duplicate field `volume` at line 1 column 97"},
      {"duplicate used bytes",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":{"usedBytes":1,"usedBytes":2,"fileSystem":"ntfs"}}})",
       "duplicate field `usedBytes` at line 1 column 128"},
      {"duplicate file system",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":{"fileSystem":"ntfs","usedBytes":1,"fileSystem":"ntfs"}}})",
       "duplicate field `fileSystem` at line 1 column 134"},
      {"type is case-sensitive", R"({"type":"Scan","request":{}})",
       "unknown variant `Scan`, expected `scan` at line 1 column 14"},
      {"unknown type after request",
       R"({"request":{"mode":"fullRoot","root":"/","targets":["/"]},"type":"scam"})",
       "unknown variant `scam`, expected `scan` at line 1 column 71"},
      {"mode is case-sensitive",
       R"({"type":"scan","request":{"mode":"FullRoot","root":"/","targets":[]}})",
       "unknown variant `FullRoot`, expected one of `restrictedTopUp`, `fullRoot` at line 1 column "
       "69"},
      {"file system is case-sensitive",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":{"usedBytes":1,"fileSystem":"NTFS"}}})",
       "unknown variant `NTFS`, expected one of `ntfs`, `reFs`, `fat32`, `exFat`, `other` at line "
       "1 column 114"},
      {"used bytes of 2^64",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":{"fileSystem":"ntfs","usedBytes":18446744073709551616}}})",
       "invalid type: number `18446744073709551616`, expected an unsigned 64-bit integer at line 1 "
       "column 133"},
      {"fractional used bytes",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":{"fileSystem":"ntfs","usedBytes":1.5}}})",
       "invalid type: number `1.5`, expected an unsigned 64-bit integer at line 1 column 116"},
      {"used bytes with exponent",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":{"fileSystem":"ntfs","usedBytes":1e3}}})",
       "invalid type: number `1e3`, expected an unsigned 64-bit integer at line 1 column 116"},
      {"negative used bytes",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":{"fileSystem":"ntfs","usedBytes":-1}}})",
       "invalid value: integer `-1`, expected an unsigned 64-bit integer at line 1 column 115"},
      {"used bytes below the signed 64-bit range",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":{"fileSystem":"ntfs","usedBytes":-99999999999999999999}}})",
       "invalid value: integer `-99999999999999999999`, expected an unsigned 64-bit integer at "
       "line 1 column 134"},
      {"negative fractional used bytes",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":{"fileSystem":"ntfs","usedBytes":-1.5}}})",
       "invalid type: number `-1.5`, expected an unsigned 64-bit integer at line 1 column 117"},
      {"used bytes as string",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":{"fileSystem":"ntfs","usedBytes":"5"}}})",
       "invalid type: string `5`, expected an unsigned 64-bit integer at line 1 column 116"},
      {"type as number", R"({"type":5,"request":{"mode":"fullRoot","root":"/","targets":["/"]}})",
       "invalid type: integer `5`, expected a string at line 1 column 9"},
      {"type as null", R"({"type":null})",
       "invalid type: null, expected a string at line 1 column 12"},
      {"lossless paths as a string",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"losslessPaths":"yes"}})",
       "invalid type: string `yes`, expected a boolean at line 1 column 91"},
      {"lossless paths as null",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"losslessPaths":null}})",
       "invalid type: null, expected a boolean at line 1 column 90"},
      {"lossless paths twice",
       R"({"type":"scan","request":{"losslessPaths":true,"losslessPaths":true,"mode":"fullRoot","root":"/","targets":[]}})",
       "duplicate field `losslessPaths` at line 1 column 111"},
      {"request as null", R"({"type":"scan","request":null})",
       "invalid type: null, expected a scan request object at line 1 column 30"},
      {"request as array", R"({"type":"scan","request":[]})",
       "invalid type: array, expected a scan request object at line 1 column 28"},
      {"mode as boolean", R"({"type":"scan","request":{"mode":true}})",
       "invalid type: boolean `true`, expected a scan mode string at line 1 column 39"},
      {"root as number", R"({"type":"scan","request":{"mode":"fullRoot","root":7,"targets":[]}})",
       "invalid type: integer `7`, expected a path string at line 1 column 67"},
      {"targets as string",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":"/"}})",
       "invalid type: string `/`, expected an array of path strings at line 1 column 70"},
      {"target as number",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":["/",5]}})",
       "invalid type: integer `5`, expected a path string at line 1 column 74"},
      {"nested target array",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[["/"]]}})",
       "invalid type: array, expected a path string at line 1 column 74"},
      {"volume as number",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":5}})",
       "invalid type: integer `5`, expected a volume object or null at line 1 column 80"},
      {"volume as array",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":[],"volume":[]}})",
       "invalid type: array, expected a volume object or null at line 1 column 81"},
      {"top level array", R"([{"type":"scan"}])",
       "invalid type: array, expected a host message object at line 1 column 1"},
      {"top level string", R"("scan")",
       "invalid type: string `scan`, expected a host message object at line 1 column 6"},
      {"trailing characters",
       R"({"type":"scan","request":{"mode":"fullRoot","root":"/","targets":["/"]}} x)",
       "trailing characters at line 1 column 74"},
      {"second value on next line",
       "{\"type\":\"scan\",\"request\":{\"mode\":\"fullRoot\",\"root\":\"/\",\"targets\":[\"/"
       "\"]}}\r\n{}",
       "trailing characters at line 2 column 1"},
      {"empty frame", "", "EOF while parsing a value at line 1 column 0"},
      {"only a line feed", "\n", "EOF while parsing a value at line 2 column 0"},
      {"end inside object", R"({"type":"scan")", "EOF while parsing an object at line 1 column 14"},
      {"end before value", R"({"type":)", "EOF while parsing a value at line 1 column 8"},
      {"end inside string", R"({"type":"sc)", "EOF while parsing a string at line 1 column 11"},
      {"end inside array", R"({"a":[1,)", "EOF while parsing a value at line 1 column 8"},
      {"end after array element", R"({"a":[1)", "EOF while parsing a list at line 1 column 7"},
      {"missing colon", R"({"type" "scan"})", "expected `:` at line 1 column 14"},
      {"missing comma in object", R"({"type":"scan" "request":{}})",
       "expected `,` or `}` at line 1 column 24"},
      {"missing comma in array", R"({"a":[1 2]})", "expected `,` or `]` at line 1 column 9"},
      {"trailing comma in object", R"({"type":"scan",})", "trailing comma at line 1 column 16"},
      {"trailing comma in array", R"({"a":[1,]})", "trailing comma at line 1 column 9"},
      {"key not a string", "{5:1}", "key must be a string at line 1 column 2"},
      {"stray letter", R"({"a":x})", "expected value at line 1 column 6"},
      {"missing value", R"({"a":})", "expected value at line 1 column 6"},
      {"leading zero", R"({"a":01})", "expected `,` or `}` at line 1 column 7"},
      {"minus without digits", R"({"a":-})", "invalid number at line 1 column 7"},
      {"fraction without digits", R"({"a":1.})", "invalid number at line 1 column 8"},
      {"number overflow", R"({"a":1e400})", "number out of range at line 1 column 10"},
      {"unknown escape", R"({"a":"\x"})", "invalid escape at line 1 column 8"},
      {"short unicode escape", R"({"a":"\u12g4"})", "invalid escape at line 1 column 11"},
      {"lone leading surrogate", R"({"a":"\ud800"})",
       "lone leading surrogate in hex escape at line 1 column 13"},
      {"lone trailing surrogate", R"({"a":"\udc00"})",
       "lone trailing surrogate in hex escape at line 1 column 12"},
      {"raw tab in string", "{\"a\":\"\t\"}", "control character in string at line 1 column 7"},
      {"lone surrogate in a path",
       "{\"type\":\"scan\",\n\"request\":{\"mode\":\"fullRoot\",\"root\":\"/"
       "\\ud800\",\"targets\":[]}}",
       "lone leading surrogate in hex escape at line 2 column 45"},
      {"position on a later line", "{\n  \"type\": \"scan\"\n}\n",
       "missing field `request` at line 3 column 1"},
      {"number inside the request, over several lines",
       "{\n  \"type\": \"scan\",\n  \"request\": {\n    \"mode\": 1\n  }\n}",
       "invalid type: integer `1`, expected a scan mode string at line 6 column 1"},
      {"recursion limit in the request",
       "{\"type\":\"scan\"," + std::string(kRequestMember.substr(0, kRequestMember.size() - 1)) +
           ",\"x\":" + repeat("[", 126) + repeat("]", 126) + "}}",
       "recursion limit exceeded at line 1 column 201"},
      {"recursion limit in a skipped value",
       "{\"type\":\"scan\"," + std::string(kRequestMember) + ",\"x\":" + repeat("{\"a\":", 127) +
           "1" + repeat("}", 127) + "}",
       "recursion limit exceeded at line 1 column 707"},
      {"invalid UTF-8 in a path",
       "{\"type\":\"scan\",\"request\":{\"mode\":\"fullRoot\",\"root\":\"/\xff\",\"targets\":[]}}",
       "invalid UTF-8 in string at line 1 column 54"},
  };
  expect_decode_errors(cases);
}

// Syntax errors whose kind depends on where the parser stood after its last event: the byte the
// lexer reads past a number, a `:` or `,` taken after the last event, a byte order mark before
// the first token, and lexer errors inside keys.
TEST(DecodeHostMessage, ClassifiesMalformedJsonByWhereTheParserStopped) {
  const std::vector<DecodeErrorCase> cases = {
      {"fraction after a leading zero", R"({"a":01.})", "invalid number at line 1 column 9"},
      {"second number after a leading zero", R"({"a":[0 1]})",
       "expected `,` or `]` at line 1 column 9"},
      {"cut number where a comma belongs", R"({"a":1 -x})", "invalid number at line 1 column 9"},
      {"comma between blanks, then the end", R"({"a":[1 , ]})",
       "trailing comma at line 1 column 11"},
      {"end right after a number", R"({"a":[10)", "EOF while parsing a list at line 1 column 8"},
      {"colon on its own line, then a brace", "{\"a\"\n:\n}", "expected value at line 3 column 1"},
      {"byte order mark, then a cut number", "\xEF\xBB\xBF-x", "invalid number at line 1 column 5"},
      {"cut byte order mark", "\xEF\xBB{}", "invalid byte order mark at line 1 column 3"},
      {"NUL where a value belongs", std::string("{\"a\":\0}", 7),
       "expected value at line 1 column 6"},
      {"bad escape in a key", R"({"\q":1})", "invalid escape at line 1 column 4"},
      {"end inside a key", R"({"ab)", "EOF while parsing a string at line 1 column 4"},
      {"invalid UTF-8 where a colon belongs", "{\"a\" \"\xC3\"}",
       "invalid UTF-8 in string at line 1 column 8"},
      {"encoded surrogate in raw UTF-8", "{\"a\":\"\xED\xA0\x80\"}",
       "invalid UTF-8 in string at line 1 column 8"},
      {"leading surrogate before a letter escape", R"({"a":["\ud800\u0041"]})",
       "lone leading surrogate in hex escape at line 1 column 19"},
  };
  expect_decode_errors(cases);
}

// ---- Encoding ----

std::string encoded(const HelperMessage& message) {
  std::string out;
  const auto result = encode(message, out);
  EXPECT_TRUE(result.has_value()) << to_string(result.error());
  return out;
}

// The documented example node: a file with an identity and no link target.
NodeRecord example_file_node(platform::OsStringView path) {
  NodeRecord node;
  node.id = 1;
  node.parent_id = 0;
  node.path = path;
  node.kind = NodeRecordKind::File;
  node.logical_bytes = 10;
  node.size_on_disk_bytes = 16;
  node.identity = NodeRecordIdentity{7, {1}};
  return node;
}

struct EncodeCase {
  std::string name;
  HelperMessage message;
  std::string expected;
};

// The host's request line is what the helper's decoder reads back, byte for byte as written.
TEST(EncodeScanRequest, WritesWhatTheHelperReadsBack) {
  const ElevatedVolume ntfs{123, FileSystemKind::Ntfs};
  struct Row {
    ElevatedScanMode mode;
    std::vector<std::string> targets;
    std::optional<ElevatedVolume> volume;
    bool lossless;
    std::string_view line;
  } rows[] = {
      {ElevatedScanMode::FullRoot,
       {"C:\\"},
       ntfs,
       true,
       R"({"type":"scan","request":{"mode":"fullRoot","root":"C:\\","targets":["C:\\"],)"
       R"("volume":{"usedBytes":123,"fileSystem":"ntfs"},"losslessPaths":true}})"},
      {ElevatedScanMode::RestrictedTopUp,
       {"C:\\a \"q\"", "C:\\\u00e9\n"},
       std::nullopt,
       false,
       R"({"type":"scan","request":{"mode":"restrictedTopUp","root":"C:\\",)"
       R"("targets":["C:\\a \"q\"","C:\\é\n"],"volume":null,"losslessPaths":false}})"},
  };
  for (const Row& row : rows) {
    const std::string line =
        encode_scan_request(row.mode, "C:\\", row.targets, row.volume, row.lossless);
    EXPECT_EQ(line, std::string(row.line) + "\n");
    const auto decoded = decode_host_message(line);
    ASSERT_TRUE(decoded) << to_string(decoded.error());
    ElevatedScanRequest expected{row.mode, os("C:\\"), {}, row.volume, row.lossless};
    for (const std::string& target : row.targets) expected.targets.push_back(os(target));
    EXPECT_EQ(decoded->request, expected) << line;
  }
}

TEST(EncodeHelperMessage, WritesEachVariantExactly) {
  const OsString users = os("C:\\Users");
  const OsString file = os("C:\\Users\\a.txt");
  const OsString drive = os("D:\\");
  const OsString link = os("C:\\Users\\link");
  const OsString target = os("\\\\?\\Volume{1}\\");

  TargetProgress progress;
  progress.current_path = users;
  progress.files_discovered = 12;
  progress.folders_discovered = 3;
  progress.bytes_measured = 500;
  progress.elapsed_millis = 250;
  progress.status = ProgressStatus::Running;

  NodeRecord root;
  root.id = 0;
  root.path = drive;
  root.kind = NodeRecordKind::Drive;
  root.flags = {true, false, true, false};
  root.modified_at_epoch_seconds = 1700000000;

  NodeRecord folder = example_file_node(users);
  folder.kind = NodeRecordKind::Folder;
  folder.logical_bytes = 0;
  folder.size_on_disk_bytes = 0;
  folder.identity->file_id = {0, 255, 16, 9, 100, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 128};

  NodeRecord junction;
  junction.id = 5;
  junction.parent_id = 2;
  junction.path = link;
  junction.kind = NodeRecordKind::Junction;
  junction.flags = {false, true, false, true};
  junction.link_target = target;

  const std::vector<EncodeCase> cases = {
      {"progress event", EventMessage{progress},
       R"({"type":"event","event":{"type":"progress","targetIndex":0,"currentPath":"C:\\Users","filesDiscovered":12,"foldersDiscovered":3,"bytesMeasured":500,"inaccessibleItemCount":0,"elapsedMillis":250,"status":"running"}})"},
      {"tree start", TreeStartMessage{0, FileSystemKind::Ntfs},
       R"({"type":"treeStart","targetIndex":0,"fileSystem":"ntfs"})"},
      {"tree start without file system", TreeStartMessage{2, std::nullopt},
       R"({"type":"treeStart","targetIndex":2,"fileSystem":null})"},
      {"file node", NodeMessage{0, example_file_node(file)},
       R"({"type":"node","targetIndex":0,"node":{"id":1,"parentId":0,"path":"C:\\Users\\a.txt","kind":"file","logicalBytes":10,"sizeOnDiskBytes":16,"flags":{"cloudOnly":false,"compressed":false,"sparse":false,"deduplicated":false},"identity":{"volumeSerial":7,"fileId":[1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]},"linkTarget":null,"modifiedAtEpochSeconds":0}})"},
      {"drive root without identity", NodeMessage{1, root},
       R"({"type":"node","targetIndex":1,"node":{"id":0,"parentId":null,"path":"D:\\","kind":"drive","logicalBytes":0,"sizeOnDiskBytes":0,"flags":{"cloudOnly":true,"compressed":false,"sparse":true,"deduplicated":false},"identity":null,"linkTarget":null,"modifiedAtEpochSeconds":1700000000}})"},
      {"folder with every file id byte", NodeMessage{0, folder},
       R"({"type":"node","targetIndex":0,"node":{"id":1,"parentId":0,"path":"C:\\Users","kind":"folder","logicalBytes":0,"sizeOnDiskBytes":0,"flags":{"cloudOnly":false,"compressed":false,"sparse":false,"deduplicated":false},"identity":{"volumeSerial":7,"fileId":[0,255,16,9,100,10,0,0,0,0,0,0,0,0,0,128]},"linkTarget":null,"modifiedAtEpochSeconds":0}})"},
      {"junction with target", NodeMessage{3, junction},
       R"({"type":"node","targetIndex":3,"node":{"id":5,"parentId":2,"path":"C:\\Users\\link","kind":"junction","logicalBytes":0,"sizeOnDiskBytes":0,"flags":{"cloudOnly":false,"compressed":true,"sparse":false,"deduplicated":true},"identity":null,"linkTarget":"\\\\?\\Volume{1}\\","modifiedAtEpochSeconds":0}})"},
      {"tree end", TreeEndMessage{0}, R"({"type":"treeEnd","targetIndex":0})"},
      {"target unavailable", TargetUnavailableMessage{1},
       R"({"type":"targetUnavailable","targetIndex":1})"},
      {"complete", CompleteMessage{}, R"({"type":"complete"})"},
      {"failure", FailureMessage{"at least one scan target is required"},
       R"({"type":"failure","message":"at least one scan target is required"})"},
      {"failure text escaped", FailureMessage{"bad \"C:\\x\"\n"},
       R"({"type":"failure","message":"bad \"C:\\x\"\n"})"},
      {"failure text with invalid UTF-8 replaced",
       FailureMessage{"a\xff"
                      "b"},
       "{\"type\":\"failure\",\"message\":\"a\xef\xbf\xbd"
       "b\"}"},
  };
  for (const EncodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(encoded(c.message), c.expected);
  }
}

TEST(EncodeHelperMessage, WritesLargestCounters) {
  const OsString path = os("/");
  TargetProgress progress{kMaxU64, path,    kMaxU64, kMaxU64,
                          kMaxU64, kMaxU64, kMaxU64, ProgressStatus::Completed};
  EXPECT_EQ(
      encoded(EventMessage{progress}),
      R"({"type":"event","event":{"type":"progress","targetIndex":18446744073709551615,"currentPath":"/","filesDiscovered":18446744073709551615,"foldersDiscovered":18446744073709551615,"bytesMeasured":18446744073709551615,"inaccessibleItemCount":18446744073709551615,"elapsedMillis":18446744073709551615,"status":"completed"}})");

  NodeRecord node;
  node.id = kMaxU64;
  node.parent_id = kMaxU64 - 1;
  node.path = path;
  node.logical_bytes = kMaxU64;
  node.size_on_disk_bytes = kMaxU64;
  node.identity = NodeRecordIdentity{kMaxU64, {}};
  node.modified_at_epoch_seconds = kMaxU64;
  EXPECT_EQ(
      encoded(NodeMessage{kMaxU64, node}),
      R"({"type":"node","targetIndex":18446744073709551615,"node":{"id":18446744073709551615,"parentId":18446744073709551614,"path":"/","kind":"file","logicalBytes":18446744073709551615,"sizeOnDiskBytes":18446744073709551615,"flags":{"cloudOnly":false,"compressed":false,"sparse":false,"deduplicated":false},"identity":{"volumeSerial":18446744073709551615,"fileId":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]},"linkTarget":null,"modifiedAtEpochSeconds":18446744073709551615}})");
  EXPECT_EQ(encoded(TreeEndMessage{kMaxU64}),
            R"({"type":"treeEnd","targetIndex":18446744073709551615})");
}

struct PathEscapeCase {
  std::string name;
  std::string path;           // UTF-8
  std::string expected_json;  // the JSON string as written, quotes included
};

TEST(EncodeHelperMessage, EscapesPathCharacters) {
  const std::vector<PathEscapeCase> cases = {
      {"quotation mark", "a\"b", R"("a\"b")"},
      {"backslash", "C:\\dir", R"("C:\\dir")"},
      {"tab", "a\tb", R"("a\tb")"},
      {"U+0001",
       "a\x01"
       "b",
       R"("a\u0001b")"},
      {"U+001F", "\x1f", R"("\u001f")"},
      {"newline", "a\nb", R"("a\nb")"},
      {"backspace, form feed and carriage return", "\b\f\r", R"("\b\f\r")"},
      {"U+007F as itself",
       "a\x7f"
       "b",
       "\"a\x7f"
       "b\""},
      {"solidus as itself", "/a/b", R"("/a/b")"},
      {"non-ASCII letters as UTF-8", "Ünïcødé \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80",
       "\"Ünïcødé \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80\""},
      {"quote, backslash, tab and U+0001 together", "\"\\\t\x01", R"("\"\\\t\u0001")"},
  };
  for (const PathEscapeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const OsString path = os(c.path);
    const std::string line = encoded(NodeMessage{0, example_file_node(path)});
    EXPECT_NE(line.find(R"("path":)" + c.expected_json + R"(,"kind":)"), std::string::npos) << line;
  }
}

// Every ASCII character in a path survives a round trip through an independent JSON parser, and
// the line never holds a raw line feed.
TEST(EncodeHelperMessage, AsciiPathsRoundTripThroughJsonParser) {
  std::string all_ascii;
  for (int c = 1; c < 0x80; ++c) all_ascii.push_back(static_cast<char>(c));
  const OsString path = os(all_ascii);
  NodeRecord node = example_file_node(path);
  node.link_target = path;
  const std::string line = encoded(NodeMessage{4, node});
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const auto parsed = nlohmann::json::parse(line);
  EXPECT_EQ(parsed["targetIndex"], 4);
  EXPECT_EQ(parsed["node"]["path"], all_ascii);
  EXPECT_EQ(parsed["node"]["linkTarget"], all_ascii);
}

TEST(EncodeHelperMessage, RefusesPathsThatAreNotUnicode) {
  const OsString bad = invalid_unicode_path();
  const OsString good = os("C:\\ok");
  NodeRecord bad_path = example_file_node(bad);
  NodeRecord bad_link = example_file_node(good);
  bad_link.link_target = bad;
  TargetProgress progress;
  progress.current_path = bad;
  const std::vector<std::pair<std::string, HelperMessage>> cases = {
      {"progress path", EventMessage{progress}},
      {"node path", NodeMessage{0, bad_path}},
      {"link target", NodeMessage{0, bad_link}},
  };
  for (const auto& [name, message] : cases) {
    SCOPED_TRACE(name);
    std::string out;
    const auto result = encode(message, out);
    if (result) {
      ADD_FAILURE() << "encoded as " << out;
      continue;
    }
    EXPECT_EQ(to_string(result.error()), "path contains invalid UTF-8 characters");
  }
}

TEST(EncodeHelperMessage, AppendsToWhatTheOutputHolds) {
  std::string out = "prefix\n";
  ASSERT_TRUE(encode(CompleteMessage{}, out).has_value());
  ASSERT_TRUE(encode(TreeEndMessage{9}, out).has_value());
  EXPECT_EQ(out,
            "prefix\n"
            R"({"type":"complete"}{"type":"treeEnd","targetIndex":9})");
}

TEST(WireWords, MatchTheProtocol) {
  const std::vector<std::pair<std::string_view, std::string_view>> cases = {
      {to_wire(ElevatedScanMode::RestrictedTopUp), "restrictedTopUp"},
      {to_wire(ElevatedScanMode::FullRoot), "fullRoot"},
      {to_wire(ProgressStatus::Queued), "queued"},
      {to_wire(ProgressStatus::Running), "running"},
      {to_wire(ProgressStatus::Completed), "completed"},
      {to_wire(ProgressStatus::Cancelled), "cancelled"},
      {to_wire(ProgressStatus::Failed), "failed"},
      {to_wire(NodeRecordKind::Drive), "drive"},
      {to_wire(NodeRecordKind::Folder), "folder"},
      {to_wire(NodeRecordKind::File), "file"},
      {to_wire(NodeRecordKind::Restricted), "restricted"},
      {to_wire(NodeRecordKind::SymbolicLink), "symbolicLink"},
      {to_wire(NodeRecordKind::Junction), "junction"},
      {to_wire(NodeRecordKind::VolumeMountPoint), "volumeMountPoint"},
      {to_wire(NodeRecordKind::OtherLink), "otherLink"},
      {to_wire(FileSystemKind::Ntfs), "ntfs"},
      {to_wire(FileSystemKind::ReFs), "reFs"},
      {to_wire(FileSystemKind::Fat32), "fat32"},
      {to_wire(FileSystemKind::ExFat), "exFat"},
      {to_wire(FileSystemKind::Other), "other"},
  };
  for (const auto& [word, expected] : cases) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(word, expected);
  }
}

// Every word of every table reads back as its value; words match case-sensitively.
TEST(WireWords, ReadBackThroughTheirTables) {
  const auto check_table = [](const auto& table) {
    using Enum = decltype(table[0].value);
    for (const auto& [value, word] : table) {
      SCOPED_TRACE(word);
      EXPECT_EQ(from_wire<Enum>(word), value);
      EXPECT_EQ(to_wire(value), word);
      std::string upper(word);
      upper[0] = static_cast<char>(upper[0] - 'a' + 'A');
      EXPECT_EQ(from_wire<Enum>(upper), std::nullopt);
    }
    EXPECT_EQ(from_wire<Enum>(""), std::nullopt);
  };
  check_table(kScanModeWords);
  check_table(kFileSystemKindWords);
  check_table(kProgressStatusWords);
  check_table(kNodeRecordKindWords);
}

}  // namespace
}  // namespace ketterlin::elevation
