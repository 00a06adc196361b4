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
 *    lengths that disagree with the model are outside the contract. (The
 *    input length of a forward pass is the exception: it is checked, see
 *    tolvex_forward_pass.)
 *  - The library starts no threads and writes no text except
 *    tolvex_print_layers(). Calls on one definition or one model must not
 *    overlap; different definitions and models may be used from different
 *    threads at once.
 */
#ifndef TOLVEX_H_5E1B7C2A
#define TOLVEX_H_5E1B7C2A

#include <stddef.h>
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
#define TOLVEX_VERSION_MINOR 2
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
 * models that the loaders make. Each model also keeps working memory for its
 * forward passes: two tiles of tolvex_forward_batch, each of 32 rows (128
 * when the linear layers hold more than 262144 weights in all) as wide as
 * the widest of the input and the layers: 64 or 256 times that width in
 * floats, and a little more (a row a multiple of 256 floats wide takes 16
 * more). A single pass uses part of it.
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

/* Runs every layer in order on `input` (input_len floats, the model's input
 * size, tolvex_get_input_len()). Allocates nothing, takes no lock, cannot
 * fail. The result is in tolvex_get_output_buffer(). Does nothing on a model
 * without layers.
 * The length is checked: when input_len differs from the model's input size,
 * the pass reads neither the input nor the weights and sets every output
 * value to the quiet NaN 0x7fc00000 (since version 0.2; before, such a
 * length was outside the contract and read past the input or gave a wrong
 * answer). The input may be any readable array of input_len floats, the
 * model's own output buffer included (a recurrent host feeding the output
 * back): the result is what a copy of the input would give, although the
 * first layer writes that buffer during the pass.
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
 * a whole may. Errors while writing are ignored, and no SIGPIPE reaches the
 * host when standard error is a pipe without reader (blocked in the calling
 * thread meanwhile, as for the model-file writers below). The model is only
 * read. */
TOLVEX_API void tolvex_print_layers(const tolvex_model* net);

/* ---------------------------------------------------------------------------
 * Model files. Paths are taken relative to the working directory; a path of
 * 4096 bytes or more gives tolvex_NameTooLong. Opening a file fails with the
 * code named after its system error (tolvex_FileNotFound, tolvex_AccessDenied,
 * tolvex_IsDir, ...). Files are open only during the call.
 * A failed load frees everything it allocated and sets *net to NULL (or,
 * when the model record itself cannot be allocated, leaves it unchanged).
 *
 * Writing replaces a regular file in one step. The model goes into a new
 * file in the same directory, which is synced to the storage device (fsync)
 * and then renamed over the path. At every moment the path holds either the
 * old file or the whole new one: a load that opens it meanwhile, in any
 * thread or process, gets one whole model, and a write that fails, or a
 * process killed or a power cut during it, leaves the old file as it was. A
 * path where nothing exists yet gets the whole new file or nothing. So that a
 * power cut cannot leave an empty or partial file under the name, the data
 * is synced before the rename; the directory is not, so right after a power
 * cut the path may still hold the old file, whole. The new file keeps the
 * old one's permission bits (a new path gets mode 0666 less the umask), and
 * its owner and group where the process may set them. A symbolic link is
 * followed: the file it leads to is replaced and the link stays. Other hard
 * links to the old file keep the old content. Replacing needs the right to
 * write the file, as before, and now also the right to create files in its
 * directory; in a sticky directory such as /tmp only the file's owner (or
 * root) may replace it.
 * The new file has no name until it is complete where the file system has
 * unnamed files (O_TMPFILE: ext4, XFS, btrfs, tmpfs), so a killed writer
 * leaves nothing behind; killed between the last two system calls it leaves
 * ".NAME.tolvex-tmp" beside the target, holding the whole new model, which
 * the next write of that path removes. Where there are no unnamed files (NFS)
 * the new file is written as ".NAME.<16 hex digits>.tolvex-tmp", which a
 * killed writer does leave behind.
 * Targets that are not regular files (a FIFO, a character device such as
 * /dev/null, /dev/stdout), and a regular file that is a mount point of its
 * own (a single bind-mounted file, as containers use; detected on Linux 5.8
 * and later), are opened and written in place, created or truncated, and
 * keep what reached them when a write fails.
 *
 * What each step of a write can return (the open errors are the codes named
 * after the system errors of opening, as above):
 *  following the path and the symbolic links at its end
 *                    the open errors: tolvex_FileNotFound (a directory on
 *                    the way is missing), tolvex_NotDir, tolvex_AccessDenied,
 *                    tolvex_SymLinkLoop (over 40 links), tolvex_NameTooLong
 *                    (also a link text of 4096 bytes or more);
 *  checking the right to write the existing file
 *                    tolvex_AccessDenied, tolvex_ReadOnlyFileSystem;
 *  creating the new file in the directory
 *                    the open errors: tolvex_AccessDenied,
 *                    tolvex_ReadOnlyFileSystem, tolvex_NoSpaceLeft (no free
 *                    inode), tolvex_ProcessFdQuotaExceeded,
 *                    tolvex_SystemFdQuotaExceeded; tolvex_PathAlreadyExists
 *                    when 64 unique names in a row are taken;
 *  giving it the old file's permission bits
 *                    tolvex_PermissionDenied, tolvex_ReadOnlyFileSystem;
 *  writing, flushing and syncing it
 *                    tolvex_WriteFailed (a full disk, the file-size limit,
 *                    an I/O error);
 *  naming it and renaming it over the path
 *                    the open errors: tolvex_PermissionDenied (a sticky
 *                    directory, an immutable file), tolvex_AccessDenied,
 *                    tolvex_IsDir (the path has become a directory),
 *                    tolvex_DeviceBusy (a mount point, on kernels before
 *                    5.8), tolvex_NoSpaceLeft,
 *                    tolvex_ReadOnlyFileSystem;
 *  in place, for a target that is not a regular file
 *                    the open errors (tolvex_IsDir for a directory), then
 *                    tolvex_WriteFailed (a FIFO whose reader has gone,
 *                    /dev/full);
 *  any step that waits (a FIFO's open, a full pipe)
 *                    tolvex_Canceled, see below.
 * After a failure the path holds what it held before (in place: what reached
 * it) and the new file is gone.
 *
 * No signal from a write reaches the host. A write to a pipe or FIFO whose
 * reader has gone, or past the file-size limit (ulimit -f), gives
 * tolvex_WriteFailed: SIGPIPE and SIGXFSZ are blocked in the calling thread
 * during the call, one that the write raised is taken off again, and the
 * thread's signal mask is restored; one that was pending before the call
 * stays pending. No handler is installed and no other thread is affected.
 *
 * FIFOs. A load from a FIFO reads it like any pipe: the open waits until a
 * writer opens the FIFO, and the load reads until the writer closes it.
 * Waiting is what lets a writer that starts a moment later still deliver its
 * model, as with every program that reads a FIFO. To bound the wait, install
 * a signal handler without SA_RESTART (alarm() with a SIGALRM handler, say):
 * the signal breaks off the open, or a read that waits for data, and the
 * call returns tolvex_Canceled. With SA_RESTART the system resumes the call
 * and it goes on waiting. Writing to a FIFO waits for a reader in the same
 * way, and is broken off the same way.
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
 *  tolvex_Canceled             a signal handled without SA_RESTART broke off
 *                              a wait for a FIFO's writer or for data;
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

/* Writes the model as a tvxf file, replacing the file at path in one step
 * or creating it, as described above; the model is only read. Success means
 * the whole file is on the storage device under the path (in place: written
 * out). The result codes are those of the steps listed above; a failed write
 * leaves the old file as it was. */
TOLVEX_API tolvex_result tolvex_write_tvxf(const tolvex_model* net, const char* path);

/* Loads a JSON model file: one object with "input_size" and "layers" (the
 * text tolvex_write_json produces, with any JSON whitespace, keys in any
 * order, and unknown keys ignored). The whole text is parsed before any of
 * its content is used, so a syntax error anywhere wins over a content error.
 * On success *net owns a new model; free it with tolvex_free_model.
 * Returns, first for faults found while the text is parsed (in the order
 * they occur in it):
 *  tolvex_ReadFailed           a read failed (also: the path is a directory);
 *  tolvex_Canceled             a signal handled without SA_RESTART broke off
 *                              a wait for a FIFO's writer or for data;
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

/* Writes the model as one line of JSON without whitespace, replacing the
 * file at path in one step or creating it, as described above; the model is
 * only read. Every finite parameter is written as the shortest decimal that
 * reads back as the same value, without an exponent, so the file loads back
 * bit for bit. A NaN is written as the
 * string "nan" or "-nan" and an infinity as the bare inf or -inf; neither
 * loads back (tolvex_MalformedPolicyDefinition, tolvex_SyntaxError).
 * The result codes are those of the steps listed above; a failed write
 * leaves the old file as it was. */
TOLVEX_API tolvex_result tolvex_write_json(const tolvex_model* net, const char* path);

/* ===========================================================================
 * Beyond the core interface (since version 0.2). The 23 functions above are
 * the library's core, unchanged in name, signature and behaviour apart from
 * the checked input length of tolvex_forward_pass; these add to them.
 * ======================================================================== */

/* The model's input size: the number of floats every input vector holds,
 * the input_len that tolvex_forward_pass and tolvex_forward_batch take.
 * Cannot fail; a model without layers has one too. The model is only read. */
TOLVEX_API uint32_t tolvex_get_input_len(const tolvex_model* net);

/* The two loaders below build a model from `len` bytes at `data` that the
 * host already holds (a packed archive, an asset bundle, flash memory),
 * with the results, the codes and the order of checks of tolvex_load_tvxf
 * and tolvex_load_json above, less those of the file system: the bytes are
 * the whole file. They are read in place: the library copies the
 * parameters into the model's own arrays, keeps no pointer into `data`, and
 * the host may free or change the bytes once the call returns. `data` may
 * be NULL when len is 0.
 * On success *net is a new model that the host frees with
 * tolvex_free_model(); on failure nothing stays allocated and *net is NULL
 * (or unchanged when the model record itself could not be allocated).
 * Different calls may run on different threads at once, also over the same
 * bytes, which are only read. */

/* A binary tvxf model in memory. Returns tolvex_HeaderMismatch,
 * tolvex_EndOfStream (the bytes end inside a field, or a count claims more
 * than the rest of them hold), tolvex_UnsupportedLayerType,
 * tolvex_WrongLayerSize, tolvex_WrongNumberOfWeights,
 * tolvex_WeightsBiasesMismatch or tolvex_OutOfMemory, in the cases
 * tolvex_load_tvxf gives for them. */
TOLVEX_API tolvex_result tolvex_load_tvxf_memory(tolvex_model** net, const void* data, size_t len);

/* A JSON model in memory (UTF-8 text, no terminating NUL needed; one that
 * is included counts as text, and is a tolvex_SyntaxError like any byte
 * after the top-level value). Returns the codes of tolvex_load_json for the
 * parse and for the content, in its order, except tolvex_ReadFailed and
 * tolvex_Canceled. */
TOLVEX_API tolvex_result tolvex_load_json_memory(tolvex_model** net, const void* data, size_t len);

/* Runs `count` samples in one call: `input` holds count vectors of
 * input_len floats one after another, and the output vector of sample k,
 * tolvex_get_output_len() floats, goes to output + k * tolvex_get_output_len().
 * Every output value has exactly the bits tolvex_forward_pass gives for that
 * sample alone, whatever `count`, on every machine and kernel
 * implementation (NaN as 0x7fc00000). The model's own output buffer is left
 * with unspecified contents. Allocates nothing, takes no lock, cannot fail;
 * count 0 and a model without layers do nothing, and an array that holds
 * no floats (a model of no inputs, or of no outputs) may be NULL. The same
 * threading rule as for tolvex_forward_pass applies: calls on one model
 * must not overlap.
 * input_len is checked as by tolvex_forward_pass: when it differs from the
 * model's input size, nothing is read and every value of every output
 * vector is set to the quiet NaN 0x7fc00000.
 * The output array may overlap the input array only as memmove() allows
 * with the direction taken care of: when output <= input and the output
 * length is at most input_len, or output >= input and the output length is
 * at least input_len. Running in place on one array big enough for both is
 * the common case. Other overlaps are outside the contract, and so is an
 * output array that overlaps the model's own output buffer for more than
 * one sample. */
TOLVEX_API void tolvex_forward_batch(tolvex_model* net, const float* input, uint32_t input_len, uint32_t count,
                                     float* output);

#ifdef __cplusplus
}
#endif

#endif /* TOLVEX_H_5E1B7C2A */
