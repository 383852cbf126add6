// The compact and the indented writer, and escaping.

#include "json_data.h"

#include <vector>

namespace {

const char hexDigits[] = "0123456789ABCDEF";

void escapeByte(unsigned char c, std::string &out) {
    char buf[6] = {'\\', 'u', '0', '0', hexDigits[c >> 4], hexDigits[c & 15]};
    out.append(buf, 6);
}

} // namespace

void jsonEscapeText(std::string_view text, bool escape, std::string &out) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const size_t n = text.size();
    if (!escape) {
        // Written as read; only a quote or backslash, which would end or
        // change the string, is escaped.
        size_t start = 0;
        for (size_t i = 0; i < n; ++i) {
            if (p[i] == '"' || p[i] == '\\') {
                out.append(text.data() + start, i - start);
                out.push_back('\\');
                start = i;
            }
        }
        out.append(text.data() + start, n - start);
        return;
    }
    size_t start = 0;
    size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '/') {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            size_t len = jsonUtf8Length(p + i, n - i);
            if (len != 0) {
                i += len; // valid UTF-8 is written as it is
                continue;
            }
        }
        if (c == 0x7F) {
            ++i;
            continue;
        }
        out.append(text.data() + start, i - start);
        switch (c) {
        case '\b':
            out.append("\\b");
            break;
        case '\t':
            out.append("\\t");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\f':
            out.append("\\f");
            break;
        case '\r':
            out.append("\\r");
            break;
        case '"':
            out.append("\\\"");
            break;
        case '/':
            out.append("\\/");
            break;
        case '\\':
            out.append("\\\\");
            break;
        default: // other control bytes and bytes that are not UTF-8
            escapeByte(c, out);
            break;
        }
        ++i;
        start = i;
    }
    out.append(text.data() + start, n - start);
}

namespace {

// Raw text of an undecoded record (one without comment marks, see below),
// with escaped quotes given their quote back.
void appendRaw(const JsonItemData *record, std::string &out) {
    std::string_view raw = record->raw();
    if (!record->source->quoteMarkSeen) {
        out.append(raw);
        return;
    }
    bool inString = false;
    size_t start = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (!inString) {
            inString = c == '"';
        } else if (c == '"') {
            inString = false;
        } else if (c == '\\' && i + 1 < raw.size()) {
            if (raw[i + 1] == jsonQuoteMark) {
                out.append(raw.data() + start, i - start);
                out.append("\\\"");
                start = i + 2;
            }
            ++i;
        }
    }
    out.append(raw.data() + start, raw.size() - start);
}

// Whether an undecoded record can be written from its raw text. One whose
// text holds a comment or a missing value is decoded instead: a comment where
// a value should be makes that value null (or, between two string literals
// run together, part of the string), which the raw text would not show once
// the comment is gone.
bool writtenRaw(const JsonItemData *record) {
    if (record->decoded) {
        return false;
    }
    return !record->source->hasMarkIn(record->rawBegin, record->rawBegin + record->rawLength);
}

void appendTabs(std::string &out, int n) { out.append(static_cast<size_t>(n), '\t'); }

void appendComment(std::string_view comment, int indent, std::string &out) {
    if (comment.empty()) {
        return;
    }
    if (comment.find('\n') == std::string_view::npos) {
        out.push_back('\n');
        appendTabs(out, indent);
        out.append("//");
        out.append(comment);
        out.push_back('\n');
        appendTabs(out, indent);
        return;
    }
    out.push_back('\n');
    appendTabs(out, indent);
    out.append("/*\n");
    appendTabs(out, indent + 1);
    size_t start = 0;
    for (;;) {
        size_t nl = comment.find('\n', start);
        size_t end = nl == std::string_view::npos ? comment.size() : nl;
        size_t cut = end;
        if (nl != std::string_view::npos && cut > start && comment[cut - 1] == '\r') {
            --cut;
        }
        out.append(comment.substr(start, cut - start));
        out.push_back('\n');
        if (nl == std::string_view::npos) {
            appendTabs(out, indent);
            break;
        }
        appendTabs(out, indent + 1);
        start = nl + 1;
    }
    out.append("*/\n");
    appendTabs(out, indent);
}

struct Frame {
    const JsonItemData *container;
    uint32_t next;
    int indent;
};

// Writes one item; a container with children is pushed on `stack` for its
// children to follow. indent -1 is compact.
void appendItem(JsonItemData *record, int indent, bool element, std::vector<Frame> &stack, std::string &out) {
    const bool compact = indent < 0;
    if (!compact) {
        appendComment(record->commentView(), indent, out);
    }
    if (!element) {
        out.push_back('"');
        jsonEscapeText(record->nameView(), record->escapeName, out);
        out.append(compact ? "\":" : "\" : ");
    }
    if (writtenRaw(record) && (compact || !record->isContainer())) {
        appendRaw(record, out);
        return;
    }
    jsonEnsureDecoded(record);
    switch (record->type) {
    case JsonItemType::Null:
        out.append("null");
        break;
    case JsonItemType::Boolean:
        out.append(record->number != 0 ? "true" : "false");
        break;
    case JsonItemType::Number:
        out.append(record->textView());
        break;
    case JsonItemType::String:
        out.push_back('"');
        jsonEscapeText(record->textView(), record->escapeText, out);
        out.push_back('"');
        break;
    case JsonItemType::Array:
    case JsonItemType::Object: {
        const bool array = record->type == JsonItemType::Array;
        out.push_back(array ? '[' : '{');
        if (record->children.count == 0) {
            out.push_back(array ? ']' : '}');
        } else {
            stack.push_back({record, 0, indent});
        }
        break;
    }
    }
}

std::string writeText(JsonItemData *root, size_t reserve, int indent) {
    if (!root->isContainer()) {
        return jsonBlankText;
    }
    if (indent >= 0 || !writtenRaw(root)) {
        jsonEnsureDecoded(root); // a root whose text does not split is no container
        if (!root->isContainer()) {
            return jsonBlankText;
        }
    }
    std::string out;
    out.reserve(reserve);
    std::vector<Frame> stack;
    appendItem(root, indent, true, stack, out);
    while (!stack.empty()) {
        Frame &top = stack.back();
        const JsonItemData *container = top.container;
        const bool array = container->type == JsonItemType::Array;
        const int level = top.indent;
        if (top.next < container->children.count) {
            JsonItemData *child = JsonItemAccess::record(container->children.items[top.next]);
            if (top.next > 0) {
                out.push_back(',');
            }
            ++top.next;
            if (level >= 0) {
                out.push_back('\n');
                appendTabs(out, level + 1);
            }
            appendItem(child, level < 0 ? -1 : level + 1, array, stack, out); // may move `top`
        } else {
            if (level >= 0) {
                out.push_back('\n');
                appendTabs(out, level);
            }
            out.push_back(array ? ']' : '}');
            stack.pop_back();
        }
    }
    return out;
}

} // namespace

std::string JsonItem::toCompactText(size_t reserve) const { return writeText(data_, reserve, -1); }

std::string JsonItem::toIndentedText(size_t reserve) const { return writeText(data_, reserve, 0); }
