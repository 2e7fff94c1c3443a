// The XML parser's error codes and limits (the parser itself is reached through
// Document::loadXML / loadBytes / load).
#pragma once

#include <cstdint>

namespace Lumo::Dom::XmlLimits {

inline constexpr int kMaxDepth = 10000;                // element nesting
inline constexpr int kMaxEntityDepth = 32;             // entity references inside entities
inline constexpr uint64_t kMaxEntityChars = 10000000;  // characters produced by entity expansion

}  // namespace Lumo::Dom::XmlLimits

namespace Lumo::Dom::XmlError {

// One code per kind of error, in the platform's range.
inline constexpr uint32_t kMissingEquals = 0xC00CE501;
inline constexpr uint32_t kMissingQuote = 0xC00CE502;
inline constexpr uint32_t kCommentSyntax = 0xC00CE503;
inline constexpr uint32_t kBadStartNameChar = 0xC00CE504;
inline constexpr uint32_t kBadNameChar = 0xC00CE505;
inline constexpr uint32_t kBadCharInString = 0xC00CE506;
inline constexpr uint32_t kXmlDeclSyntax = 0xC00CE507;
inline constexpr uint32_t kBadCharData = 0xC00CE508;
inline constexpr uint32_t kMissingWhitespace = 0xC00CE509;
inline constexpr uint32_t kExpectingTagEnd = 0xC00CE50A;
inline constexpr uint32_t kMissingSemicolon = 0xC00CE50B;
inline constexpr uint32_t kUnbalancedParen = 0xC00CE50C;
inline constexpr uint32_t kInternalError = 0xC00CE50D;
inline constexpr uint32_t kIncompleteEncoding = 0xC00CE50F;
inline constexpr uint32_t kDtdSyntax = 0xC00CE510;
inline constexpr uint32_t kPISyntax = 0xC00CE518;
inline constexpr uint32_t kMultipleColons = 0xC00CE51A;
inline constexpr uint32_t kInvalidDecimal = 0xC00CE51B;
inline constexpr uint32_t kInvalidHex = 0xC00CE51C;
inline constexpr uint32_t kInvalidUnicode = 0xC00CE51D;
inline constexpr uint32_t kUnexpectedEndTag = 0xC00CE552;
inline constexpr uint32_t kUnclosedTag = 0xC00CE553;
inline constexpr uint32_t kDuplicateAttribute = 0xC00CE554;
inline constexpr uint32_t kMultipleRoots = 0xC00CE555;
inline constexpr uint32_t kInvalidAtTopLevel = 0xC00CE556;
inline constexpr uint32_t kBadXmlDecl = 0xC00CE557;
inline constexpr uint32_t kMissingRoot = 0xC00CE558;
inline constexpr uint32_t kUnexpectedEof = 0xC00CE559;
inline constexpr uint32_t kPERefInSubset = 0xC00CE55A;
inline constexpr uint32_t kCDataCloseInText = 0xC00CE55C;
inline constexpr uint32_t kReservedNamespace = 0xC00CE564;
inline constexpr uint32_t kUnsupportedEncoding = 0xC00CE565;
inline constexpr uint32_t kEncodingSwitch = 0xC00CE566;
inline constexpr uint32_t kBadXmlCase = 0xC00CE567;
inline constexpr uint32_t kInvalidStandalone = 0xC00CE568;
inline constexpr uint32_t kInvalidVersion = 0xC00CE56A;
inline constexpr uint32_t kEndTagMismatch = 0xC00CE56D;
inline constexpr uint32_t kUndefinedEntity = 0xC00CE002;
inline constexpr uint32_t kExternalEntity = 0xC00CE003;
inline constexpr uint32_t kRecursiveEntity = 0xC00CE004;
inline constexpr uint32_t kEntityLimit = 0xC00CE005;
inline constexpr uint32_t kEntityContent = 0xC00CE006;
inline constexpr uint32_t kLtInAttribute = 0xC00CE007;
inline constexpr uint32_t kUndeclaredPrefix = 0xC00CE01D;
inline constexpr uint32_t kNamespaceDecl = 0xC00CE01E;
inline constexpr uint32_t kDuplicateExpandedName = 0xC00CE01F;
inline constexpr uint32_t kDepthLimit = 0xC00CE020;
inline constexpr uint32_t kCannotOpen = 0x800C0006;  // the platform's "object not found" for a load

}  // namespace Lumo::Dom::XmlError
