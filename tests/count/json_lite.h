// A strict little JSON reader for tests: objects, arrays, numbers (JSON grammar only, so
// NaN, Infinity, leading zeros and trailing commas are rejected), strings with the simple
// escapes, true, false and null.
#ifndef VORAT_TESTS_JSON_LITE_H
#define VORAT_TESTS_JSON_LITE_H

#include <cctype>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

struct JsonValue {
	enum Type { NUL, BOOLEAN, NUMBER, STRING, ARRAY, OBJECT } type = NUL;
	bool boolean = false;
	double number = 0;
	std::string text;  // STRING: the value; NUMBER: the literal as written
	std::vector<JsonValue> items;
	std::vector<std::pair<std::string, JsonValue>> members;

	// Member `key` of an object, or null when absent (or not an object).
	const JsonValue *get(const std::string &key) const
	{
		if (type != OBJECT) return nullptr;
		for (const auto &m : members)
			if (m.first == key) return &m.second;
		return nullptr;
	}
};

class JsonReader {
public:
	explicit JsonReader(const std::string &text) : s_(text) {}

	bool parse(JsonValue *out, std::string *error)
	{
		bool ok = value(out, 0);
		skip();
		if (ok && pos_ != s_.size()) ok = fail("trailing text");
		if (!ok && error) *error = error_ + " at byte " + std::to_string(pos_);
		return ok;
	}

private:
	const std::string &s_;
	size_t pos_ = 0;
	std::string error_;

	bool fail(const char *why)
	{
		if (error_.empty()) error_ = why;
		return false;
	}
	void skip()
	{
		while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\t' || s_[pos_] == '\r')) ++pos_;
	}
	bool literal(const char *word)
	{
		size_t n = std::char_traits<char>::length(word);
		if (s_.compare(pos_, n, word) != 0) return fail("bad literal");
		pos_ += n;
		return true;
	}
	bool string(std::string *out)
	{
		if (pos_ >= s_.size() || s_[pos_] != '"') return fail("string expected");
		++pos_;
		while (pos_ < s_.size() && s_[pos_] != '"') {
			char c = s_[pos_++];
			if ((unsigned char)c < 0x20) return fail("control character in string");
			if (c == '\\') {
				if (pos_ >= s_.size()) return fail("bad escape");
				char e = s_[pos_++];
				switch (e) {
				case '"': case '\\': case '/': out->push_back(e); break;
				case 'n': out->push_back('\n'); break;
				case 't': out->push_back('\t'); break;
				case 'r': out->push_back('\r'); break;
				case 'b': out->push_back('\b'); break;
				case 'f': out->push_back('\f'); break;
				default: return fail("unsupported escape");
				}
			} else {
				out->push_back(c);
			}
		}
		if (pos_ >= s_.size()) return fail("unterminated string");
		++pos_;
		return true;
	}
	bool number(JsonValue *out)
	{
		size_t start = pos_;
		auto digits = [&]() {
			size_t from = pos_;
			while (pos_ < s_.size() && isdigit((unsigned char)s_[pos_])) ++pos_;
			return pos_ > from;
		};
		if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
		if (pos_ < s_.size() && s_[pos_] == '0') {
			++pos_;
			if (pos_ < s_.size() && isdigit((unsigned char)s_[pos_])) return fail("leading zero");
		} else if (!digits()) {
			return fail("number expected");
		}
		if (pos_ < s_.size() && s_[pos_] == '.') {
			++pos_;
			if (!digits()) return fail("digits expected after the point");
		}
		if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
			++pos_;
			if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
			if (!digits()) return fail("digits expected in the exponent");
		}
		out->type = JsonValue::NUMBER;
		out->text = s_.substr(start, pos_ - start);
		out->number = strtod(out->text.c_str(), nullptr);
		return true;
	}
	bool value(JsonValue *out, int depth)
	{
		if (depth > 64) return fail("too deep");
		skip();
		if (pos_ >= s_.size()) return fail("value expected");
		char c = s_[pos_];
		if (c == '{') {
			out->type = JsonValue::OBJECT;
			++pos_;
			skip();
			if (pos_ < s_.size() && s_[pos_] == '}') {
				++pos_;
				return true;
			}
			for (;;) {
				skip();
				std::string key;
				if (!string(&key)) return false;
				skip();
				if (pos_ >= s_.size() || s_[pos_] != ':') return fail("':' expected");
				++pos_;
				JsonValue v;
				if (!value(&v, depth + 1)) return false;
				out->members.emplace_back(key, std::move(v));
				skip();
				if (pos_ < s_.size() && s_[pos_] == ',') {
					++pos_;
					continue;
				}
				if (pos_ < s_.size() && s_[pos_] == '}') {
					++pos_;
					return true;
				}
				return fail("',' or '}' expected");
			}
		}
		if (c == '[') {
			out->type = JsonValue::ARRAY;
			++pos_;
			skip();
			if (pos_ < s_.size() && s_[pos_] == ']') {
				++pos_;
				return true;
			}
			for (;;) {
				JsonValue v;
				if (!value(&v, depth + 1)) return false;
				out->items.push_back(std::move(v));
				skip();
				if (pos_ < s_.size() && s_[pos_] == ',') {
					++pos_;
					continue;
				}
				if (pos_ < s_.size() && s_[pos_] == ']') {
					++pos_;
					return true;
				}
				return fail("',' or ']' expected");
			}
		}
		if (c == '"') {
			out->type = JsonValue::STRING;
			return string(&out->text);
		}
		if (c == 't' || c == 'f') {
			out->type = JsonValue::BOOLEAN;
			out->boolean = c == 't';
			return literal(c == 't' ? "true" : "false");
		}
		if (c == 'n') {
			out->type = JsonValue::NUL;
			return literal("null");
		}
		return number(out);
	}
};

inline bool parse_json(const std::string &text, JsonValue *out, std::string *error = nullptr)
{
	JsonReader reader(text);
	return reader.parse(out, error);
}

#endif
