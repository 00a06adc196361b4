/*
 * tolvex: deterministic CPU inference for small feed-forward networks.
 *
 * A host builds a model layer by layer (the builder) or loads one from a
 * JSON or binary (tvxf) model file, runs forward passes on float vectors and
 * reads the output buffer. All arithmetic is IEEE-754 single precision in a
 * fixed order, so one model and one input give the same output bits on every
 * run.
 *
 * Conventions that hold for every function below:
 *  - Call tolvex_init() before anything else and tolvex_deinit() last, while
 *    no other call into the library runs.
 *  - Functions whose work can fail return a tolvex_result; tolvex_Success (0)
 *    means the work is done and every out-parameter is set. After a failure
 *    an out-parameter handle holds no usable handle (the functions in this
 *    header set it to NULL) and must not be passed to any function.
 *  - Arguments are not validated: null pointers, freed or foreign handles and
 *    lengths that disagree with the model are outside the contract.
 *  - The library starts no threads and writes no text except
 *    tolvex_print_layers(). Calls on one definition or one model must not
 *    overlap; different definitions and models may be used from different
 *    threads at once.
 */
#ifndef TOLVEX_H_5E1B7C2A
#define TOLVEX_H_5E1B7C2A

#include <stdint.h>

#if defined(TOLVEX_BUILDING_LIBRARY)
#define TOLVEX_API __attribute__((visibility("default")))
#else
#define TOLVEX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define TOLVEX_VERSION_MAJOR 0
#define TOLVEX_VERSION_MINOR 1
#define TOLVEX_VERSION_PATCH 0

/* ---------------------------------------------------------------------------
 * Result codes. The numbers are part of the binary interface and never move.
 *
 * TOLVEX_RESULT_CODES is the one list of them, in numeric order: X(number,
 * Name, kind) for each code, where kind is
 *   status    the call did its work (tolvex_Success only);
 *   reserved  kept for the numbering, never returned (tolvex_MemoryLeak);
 *   error     the call failed for the reason the name gives.
 * The enumerators tolvex_<Name> and tolvex_result_name() are made from it, and
 * so are the library's internal errors.
 * ------------------------------------------------------------------------- */
typedef uint32_t tolvex_result;

#define TOLVEX_RESULT_CODES(X) \
    X(0, Success, status) \
    X(1, UnsupportedLayerType, error) \
    X(2, MalformedPolicyDefinition, error) \
    X(3, WeightsBiasesMismatch, error) \
    X(4, WrongNumberOfWeights, error) \
    X(5, WrongLayerSize, error) \
    X(6, HeaderMismatch, error) \
    X(7, MemoryLeak, reserved) \
    X(8, FileNotFound, error) \
    X(9, OutOfMemory, error) \
    X(10, PathAlreadyExists, error) \
    X(11, AccessDenied, error) \
    X(12, PipeBusy, error) \
    X(13, NoDevice, error) \
    X(14, NameTooLong, error) \
    X(15, BadPathName, error) \
    X(16, Unexpected, error) \
    X(17, NetworkNotFound, error) \
    X(18, AntivirusInterference, error) \
    X(19, SymLinkLoop, error) \
    X(20, ProcessFdQuotaExceeded, error) \
    X(21, SystemFdQuotaExceeded, error) \
    X(22, SystemResources, error) \
    X(23, FileTooBig, error) \
    X(24, IsDir, error) \
    X(25, NoSpaceLeft, error) \
    X(26, NotDir, error) \
    X(27, DeviceBusy, error) \
    X(28, FileLocksUnsupported, error) \
    X(29, FileBusy, error) \
    X(30, WouldBlock, error) \
    X(31, Overflow, error) \
    X(32, InvalidCharacter, error) \
    X(33, UnexpectedToken, error) \
    X(34, InvalidNumber, error) \
    X(35, InvalidEnumTag, error) \
    X(36, DuplicateField, error) \
    X(37, UnknownField, error) \
    X(38, MissingField, error) \
    X(39, LengthMismatch, error) \
    X(40, SyntaxError, error) \
    X(41, UnexpectedEndOfInput, error) \
    X(42, ValueTooLong, error) \
    X(43, ReadFailed, error) \
    X(44, EndOfStream, error) \
    X(45, PermissionDenied, error) \
    X(46, WriteFailed, error) \
    X(47, Canceled, error) \
    X(48, ReadOnlyFileSystem, error)

#define TOLVEX_RESULT_ENUMERATOR_(number, name, kind) tolvex_##name = number,
enum { TOLVEX_RESULT_CODES(TOLVEX_RESULT_ENUMERATOR_) };
#undef TOLVEX_RESULT_ENUMERATOR_

/* The name of a result code as text ("WrongLayerSize"), or "unknown" for a
 * value outside 0..48. Not an exported symbol: it lives in this header. */
static inline const char* tolvex_result_name(tolvex_result r) {
#define TOLVEX_RESULT_NAME_(number, name, kind) #name,
    static const char* const names[] = {TOLVEX_RESULT_CODES(TOLVEX_RESULT_NAME_)};
#undef TOLVEX_RESULT_NAME_
    return r < sizeof names / sizeof names[0] ? names[r] : "unknown";
}

/* ---------------------------------------------------------------------------
 * Layer parameter records, passed by value to the builder. Their layout is
 * part of the binary interface.
 * ------------------------------------------------------------------------- */

/* Fully connected layer. weights: size * L floats, row-major, one row of L
 * inputs per output neuron (input j to neuron n at index n*L + j), where L is
 * the size of the layer before (or the model's input size). biases: size
 * floats. */
typedef struct tolvex_linear {
    const float* weights;
    const float* biases;
} tolvex_linear;

/* Layer normalization: (x - mean) / sqrt(variance + eps) * weights + biases,
 * weights and biases of size floats each. */
typedef struct tolvex_layer_norm {
    const float* weights;
    const float* biases;
    float eps;
} tolvex_layer_norm;

/* Clamp to [min, max]; the test against min decides first. */
typedef struct tolvex_clip {
    float min;
    float max;
} tolvex_clip;

/* x > 0 ? x : alpha * (exp(x) - 1). */
typedef struct tolvex_elu {
    float alpha;
} tolvex_elu;

/* x >= 0 ? x : x * negative_slope. */
typedef struct tolvex_leaky_relu {
    float negative_slope;
} tolvex_leaky_relu;

/* Opaque handles. */
typedef struct tolvex_model_definition tolvex_model_definition;
typedef struct tolvex_model tolvex_model;

/* ---------------------------------------------------------------------------
 * Lifecycle
 * ------------------------------------------------------------------------- */

/* Makes the library-wide allocator ready. Does nothing if the library is
 * already initialised. Cannot fail. */
TOLVEX_API void tolvex_init(void);

/* Releases the library-wide allocator's own bookkeeping. Free every
 * definition and model first: blocks still allocated stay with the process
 * and their handles must not be used again. Without a prior tolvex_init() it
 * does nothing. Always returns tolvex_Success. */
TOLVEX_API tolvex_result tolvex_deinit(void);

/* ---------------------------------------------------------------------------
 * Model-definition builder. A definition records the layers and the host's
 * weight and bias pointers; it copies no array and checks no size. The host's
 * arrays must stay valid and unchanged until the last tolvex_create() that
 * uses the definition has returned.
 * ------------------------------------------------------------------------- */

/* Creates an empty definition for inputs of input_layer_size floats and
 * stores it in *model_definition. Returns tolvex_OutOfMemory (leaving
 * *model_definition unchanged) if the record cannot be allocated. */
TOLVEX_API tolvex_result tolvex_new_model_definition(tolvex_model_definition** model_definition,
                                                     uint32_t input_layer_size);

/* Each tolvex_add_* appends one layer of `size` outputs at the end of the
 * definition. The only failure is tolvex_OutOfMemory when the layer list
 * cannot grow; the definition is then exactly as it was before the call. */
TOLVEX_API tolvex_result tolvex_add_linear(tolvex_model_definition* def, tolvex_linear cfg,
                                           uint32_t size);
TOLVEX_API tolvex_result tolvex_add_layer_norm(tolvex_model_definition* def,
                                               tolvex_layer_norm cfg, uint32_t size);
TOLVEX_API tolvex_result tolvex_add_clip(tolvex_model_definition* def, tolvex_clip cfg,
                                         uint32_t size);
TOLVEX_API tolvex_result tolvex_add_elu(tolvex_model_definition* def, tolvex_elu cfg,
                                        uint32_t size);
TOLVEX_API tolvex_result tolvex_add_relu(tolvex_model_definition* def, uint32_t size);
TOLVEX_API tolvex_result tolvex_add_relu6(tolvex_model_definition* def, uint32_t size);
TOLVEX_API tolvex_result tolvex_add_sigmoid(tolvex_model_definition* def, uint32_t size);
TOLVEX_API tolvex_result tolvex_add_tanh(tolvex_model_definition* def, uint32_t size);
TOLVEX_API tolvex_result tolvex_add_leaky_relu(tolvex_model_definition* def,
                                               tolvex_leaky_relu cfg, uint32_t size);

/* Frees the definition and its layer list; the host's weight arrays are not
 * touched. NULL does nothing. Models created from it live on. */
TOLVEX_API void tolvex_free_model_definition(tolvex_model_definition* model_definition);

/* ---------------------------------------------------------------------------
 * Models
 * ------------------------------------------------------------------------- */

/* Creates a model from a definition and stores it in *net. The model owns
 * copies of every weight and bias array: once this returns, the host may
 * change or free its arrays and the definition. Layer 0 and every linear
 * layer get an output buffer of their own; every other layer computes in
 * place in the buffer of the layer before it. A linear layer of up to 131072
 * weights (512 KiB) also keeps a second copy of its weights and biases,
 * rearranged for the vector kernels: small layers then run about twice as
 * fast, for at most twice their parameter memory. The same holds for the
 * models that tolvex_load_tvxf and tolvex_load_json make.
 * Returns:
 *  tolvex_OutOfMemory    an allocation failed, or a linear layer's weight
 *                        count (size * input size) does not fit in 32 bits;
 *  tolvex_WrongLayerSize a layer other than linear whose size differs from
 *                        the size of the layer before it (or, for layer 0,
 *                        from the input size).
 * On failure nothing stays allocated and *net is set to NULL (or, when the
 * model record itself cannot be allocated, left unchanged). */
TOLVEX_API tolvex_result tolvex_create(tolvex_model** net, const tolvex_model_definition* def);

/* Frees the model and every array it owns. NULL does nothing. The output
 * buffer pointer becomes dangling. */
TOLVEX_API void tolvex_free_model(tolvex_model* net);

/* Runs every layer in order on `input` (input_len floats, which must equal
 * the model's input size). Allocates nothing, takes no lock, cannot fail. The
 * result is in tolvex_get_output_buffer(). Does nothing on a model without
 * layers.
 * Every output value has the same bits on every machine and every kernel
 * implementation. A NaN output is always the one quiet NaN 0x7fc00000,
 * whatever NaN (sign, payload) the layers produced: IEEE arithmetic decides
 * which outputs are NaN, but the payload a NaN carries differs between
 * instruction sets, so the pass replaces every NaN in the output with this
 * one. */
TOLVEX_API void tolvex_forward_pass(tolvex_model* net, const float* input, uint32_t input_len);

/* The model's output: tolvex_get_output_len() floats, owned by the model. The
 * pointer stays the same for the model's whole life; every forward pass
 * overwrites the contents (undefined before the first pass). NULL and 0 for a
 * model without layers. */
TOLVEX_API const float* tolvex_get_output_buffer(const tolvex_model* net);
TOLVEX_API uint32_t tolvex_get_output_len(const tolvex_model* net);

/* Writes a listing of the model's layers to standard error, one line per
 * layer with its type, size and scalar parameters (floats in plain decimal,
 * shortest digits that read back as the same float). Goes through the C
 * library's stderr stream, each piece of text under its lock (flockfile), so
 * a piece never interleaves with other stdio output to stderr; the listing as
 * a whole may. Errors while writing are ignored. The model is only read. */
TOLVEX_API void tolvex_print_layers(const tolvex_model* net);

/* ---------------------------------------------------------------------------
 * Model files. Paths are taken relative to the working directory; a path of
 * 4096 bytes or more gives tolvex_NameTooLong. Opening a file fails with the
 * code named after its system error (tolvex_FileNotFound, tolvex_AccessDenied,
 * tolvex_IsDir, ...). Files are open only during the call.
 * A failed load frees everything it allocated and sets *net to NULL (or,
 * when the model record itself cannot be allocated, leaves it unchanged).
 * A failed write leaves the file holding what reached it (tolvex_WriteFailed).
 * ------------------------------------------------------------------------- */

/* Loads a binary tvxf model file. On success *net is a new model that the
 * host frees with tolvex_free_model(). Bytes after the last layer record are
 * ignored. A non-linear layer after the first takes the length of the layer
 * before it; its own size field is not used. Besides the open errors:
 *  tolvex_HeaderMismatch       the file does not start with "tvxf";
 *  tolvex_EndOfStream          the file ends inside a field (so also any file
 *                              shorter than 4 bytes), or a layer count or a
 *                              weight or bias count claims more than the rest
 *                              of the file holds (found before allocating
 *                              for a regular file);
 *  tolvex_ReadFailed           a read failed (also: the path is a directory);
 *  tolvex_UnsupportedLayerType a layer type code above 8;
 *  tolvex_WrongLayerSize       a first layer that is not linear and whose
 *                              size differs from the input size;
 *  tolvex_WrongNumberOfWeights a linear weight count other than size * input
 *                              size (a product of 2^32 or more never
 *                              matches), or a layer_norm weight count other
 *                              than its length (its size, or for a layer
 *                              after the first the length it shares);
 *  tolvex_WeightsBiasesMismatch a linear bias count other than its size, or
 *                              a layer_norm bias count other than its length;
 *  tolvex_OutOfMemory          an allocation failed. */
TOLVEX_API tolvex_result tolvex_load_tvxf(tolvex_model** net, const char* path);

/* Writes the model as a tvxf file, creating it (mode 0666 less the umask) or
 * truncating it. The model is only read. Besides the open errors:
 *  tolvex_WriteFailed          a write or the final flush failed; the file
 *                              holds what reached it. */
TOLVEX_API tolvex_result tolvex_write_tvxf(const tolvex_model* net, const char* path);

/* Loads a JSON model file: one object with "input_size" and "layers" (the
 * text tolvex_write_json produces, with any JSON whitespace, keys in any
 * order, and unknown keys ignored). The whole text is parsed before any of
 * its content is used, so a syntax error anywhere wins over a content error.
 * On success *net owns a new model; free it with tolvex_free_model.
 * Returns, first for faults found while the text is parsed (in the order
 * they occur in it):
 *  tolvex_ReadFailed           a read failed (also: the path is a directory);
 *  tolvex_SyntaxError          the text breaks RFC 8259 (invalid UTF-8, a bad
 *                              escape or an escaped lone surrogate, a control
 *                              character in a string, a leading zero or "+",
 *                              a comment, a trailing comma, the bare inf the
 *                              writer uses for infinities), or more than
 *                              whitespace follows the top-level value;
 *  tolvex_UnexpectedEndOfInput the text ends early (an empty file included);
 *  tolvex_ValueTooLong         a string (once its escapes are decoded) or a
 *                              number longer than 4194304 bytes;
 *  tolvex_DuplicateField       an object repeats a key, at any depth;
 *  then for the content: the top level, then each layer in order, and within
 *  a layer "type", its name, "size", the parameters ("weight" and "bias"
 *  lengths before the rows, the rows in order), and its size checks last:
 *  tolvex_MalformedPolicyDefinition  the top level is not an object;
 *                              "input_size" or "layers" is missing; a layer
 *                              has no "type"; layer 0 or a linear layer has
 *                              no "size"; a required parameter ("weight",
 *                              "bias", "min", "max") is missing; or a value
 *                              has the wrong JSON type: "input_size" or
 *                              "size" that is not an integer of 0 to
 *                              2^32 - 1 (a fraction, an exponent or "-0"
 *                              included), a parameter that is not a number or
 *                              lies beyond the range of a double (the string
 *                              "nan" that the writer uses for a NaN
 *                              included), rows or arrays of another shape;
 *  tolvex_UnsupportedLayerType "type" names no layer type (case-sensitive);
 *  tolvex_OutOfMemory          a negative "size", or one of 2^62 or more;
 *  tolvex_WeightsBiasesMismatch "weight" and "bias" have different lengths;
 *  tolvex_WrongNumberOfWeights a weight row of a length other than the
 *                              layer's input size; a layer_norm weight count
 *                              other than a non-zero input size; a linear
 *                              layer of 2^32 weights or more;
 *  tolvex_WrongLayerSize       a linear layer's "size" other than its number
 *                              of rows; a first layer that is not linear and
 *                              whose "size" differs from "input_size"; a
 *                              layer_norm weight count other than its size;
 *  tolvex_OutOfMemory          an allocation failed.
 * On failure *net is NULL (or unchanged when the model record itself could
 * not be allocated) and nothing the call allocated stays allocated. */
TOLVEX_API tolvex_result tolvex_load_json(tolvex_model** net, const char* path);

/* Writes the model as one line of JSON without whitespace, creating or
 * truncating the file; the model is only read. Every finite parameter is
 * written as the shortest decimal that reads back as the same value, without
 * an exponent, so the file loads back bit for bit. A NaN is written as the
 * string "nan" or "-nan" and an infinity as the bare inf or -inf; neither
 * loads back (tolvex_MalformedPolicyDefinition, tolvex_SyntaxError).
 * Returns tolvex_WriteFailed when a write fails; the file then holds what
 * reached it. */
TOLVEX_API tolvex_result tolvex_write_json(const tolvex_model* net, const char* path);

#ifdef __cplusplus
}
#endif

#endif /* TOLVEX_H_5E1B7C2A */
