// lockbox.node registration and its four JavaScript functions.
//
// Each function takes one request object, reads the string items of its row
// (table ROWS), runs one sealing operation and returns the result object as
// JSON text. Outcomes the add-on foresees never throw into JavaScript; an
// exception raised by the caller's own code while an item is read (a getter,
// a proxy trap, a toString, a Symbol value) is left to propagate unchanged.
//
// Sealed bytes that are not valid UTF-8 never reach V8 as such: JsonCpp's
// writer decodes every byte >= 0x80 as the lead of a UTF-8 sequence (taking
// the low bits of the bytes that follow, without checking them) and writes
// the code point as a \uXXXX escape, so the returned text is plain ASCII.
// Only sealed text whose bytes are all in 1..127 (plain bytes 32..158)
// comes back unchanged after JSON.parse (a U+0000 would cut the item).
#include <nan.h>

#include <string>

#include "addon/addon.h"

namespace {

// The caller's own JavaScript threw while an item was read; the exception is
// pending in the isolate and must reach the caller.
struct PendingJsException {};

enum Operation { OP_WRITE_FILE, OP_READ_FILE, OP_SEAL, OP_UNSEAL };

struct Row {
	const char *property;  // name on the exports object
	const char *items[2];  // request items, read in this order; nullptr ends the list
	Operation op;
};

const Row ROWS[4] = {
	{"writeLockbox", {"filepath", "content"}, OP_WRITE_FILE},
	{"readLockbox", {"filepath", nullptr}, OP_READ_FILE},
	{"lockbox", {"content", nullptr}, OP_SEAL},
	{"decryptJSON", {"content", nullptr}, OP_UNSEAL},
};

// Reads request[name] in its string form as UTF-8, up to its first zero byte.
// Inherited properties count. A missing item, or a request that is not an
// object at all, throws the missing-item message as a std::string.
std::string get_string_item(v8::Local<v8::Value> request, const char *name)
{
	if (request->IsObject()) {
		v8::Local<v8::Object> object = request.As<v8::Object>();
		v8::Local<v8::String> key = Nan::New(name).ToLocalChecked();
		Nan::Maybe<bool> has = Nan::Has(object, key);
		if (has.IsNothing()) throw PendingJsException();
		if (has.FromJust()) {
			v8::Local<v8::Value> value;
			v8::Local<v8::String> text;
			if (!Nan::Get(object, key).ToLocal(&value) || !Nan::To<v8::String>(value).ToLocal(&text))
				throw PendingJsException();
			Nan::Utf8String utf8(text);
			return std::string(*utf8 ? *utf8 : "");
		}
	}
	throw std::string("Item \"") + name + "\" does not exist";
}

void run_row(const Nan::FunctionCallbackInfo<v8::Value> &info, const Row &row)
{
	// With no argument info[0] is undefined, which reads as a missing item.
	v8::Local<v8::Value> request_arg = info[0];
	Json::Value request(Json::objectValue);
	Json::Value result(Json::objectValue);
	try {
		for (const char *item : row.items)
			if (item) request[item] = get_string_item(request_arg, item);
		switch (row.op) {
		case OP_WRITE_FILE:
			write_sealed_file(request["filepath"].asString(), request["content"].asString(), result);
			break;
		case OP_READ_FILE:
			read_sealed_file(request["filepath"].asString(), result);
			break;
		case OP_SEAL:
			seal_text(request["content"].asString(), result);
			break;
		case OP_UNSEAL:
			unseal_text(request["content"].asString(), result);
			break;
		}
	} catch (const std::string &missing) {
		result = Json::Value(Json::objectValue);
		result["code"] = 1;
		result["content"] = missing;
	} catch (const PendingJsException &) {
		return;
	} catch (...) {
		// Memory exhausted while copying an item: reported like a failed operation.
		result = Json::Value(Json::objectValue);
		result["code"] = 1;
	}

	const std::string json = Json::writeString(Json::StreamWriterBuilder(), result);
	v8::Local<v8::String> text;
	if (!Nan::New<v8::String>(json).ToLocal(&text)) {
		// Longer than V8 allows for a string (only reachable with texts of
		// hundreds of MiB): say so in the usual form instead of aborting.
		text = Nan::New("{\n\t\"code\" : 1,\n\t\"content\" : \"Result too large\"\n}").ToLocalChecked();
	}
	info.GetReturnValue().Set(text);
}

void write_lockbox(const Nan::FunctionCallbackInfo<v8::Value> &info) { run_row(info, ROWS[0]); }
void read_lockbox(const Nan::FunctionCallbackInfo<v8::Value> &info) { run_row(info, ROWS[1]); }
void lockbox(const Nan::FunctionCallbackInfo<v8::Value> &info) { run_row(info, ROWS[2]); }
void decrypt_json(const Nan::FunctionCallbackInfo<v8::Value> &info) { run_row(info, ROWS[3]); }

const Nan::FunctionCallback HANDLERS[4] = {write_lockbox, read_lockbox, lockbox, decrypt_json};

// Sets the four functions on the exports object, in table order.
void module_init(v8::Local<v8::Object> exports)
{
	for (int i = 0; i < 4; ++i) {
		v8::Local<v8::FunctionTemplate> tpl = Nan::New<v8::FunctionTemplate>(HANDLERS[i]);
		Nan::Set(exports, Nan::New(ROWS[i].property).ToLocalChecked(), Nan::GetFunction(tpl).ToLocalChecked());
	}
}

}  // namespace

// Module entry of hosts with module ABI version 99, called once with the
// exports object (hosts that pass module and context as well are served too).
extern "C" NODE_MODULE_EXPORT void node_register_module_v99(v8::Local<v8::Object> exports, v8::Local<v8::Value>,
															v8::Local<v8::Context>)
{
	module_init(exports);
}

#if NODE_MODULE_VERSION != 99
// Entry under the ABI version of the Node.js headers built against
// (node_register_module_v115 for Node.js 20): Node.js looks this symbol up
// after loading a library that did not register itself, so the add-on also
// loads in worker threads.
NODE_MODULE_INIT()
{
	(void)module;
	(void)context;
	module_init(exports);
}
#endif
