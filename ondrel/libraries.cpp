// Forwarders for the codec libraries' functions (see libraries.h). Each
// library is opened once, all of its symbols found at once, so a forwarder
// runs only after its library loaded whole; calling one first loads it.
#include "ondrel/libraries.h"

#ifndef _WIN32

#include <dlfcn.h>

#include <bzlib.h>
#include <libdeflate.h>
#include <lzma.h>
#include <lzo/lzo1x.h>

#include <cstring>
#include <mutex>
#include <string>

#include "ondrel/codecs/internal.h"

namespace ondrel {

namespace {

class Library {
public:
    Library(const char* file, const char* filter, const char* const* symbols, void** slots)
        : file_(file), filter_(filter), symbols_(symbols), slots_(slots) {}

    void require() {
        std::call_once(once_, [this] { load(); });
        if (!error_.empty()) throw LibraryError(error_);
    }

    void* slot(int index) {
        require();
        return slots_[index];
    }

private:
    void load() {
        void* handle = dlopen(file_, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return failed(dlerror());
        for (int i = 0; symbols_[i]; ++i) {
            slots_[i] = dlsym(handle, symbols_[i]);
            // Kept open even then: a library may not be unloaded once mapped.
            if (!slots_[i]) return failed(dlerror());
        }
    }

    void failed(const char* cause) {
        error_ = std::string(file_) + " cannot be loaded for the " + filter_ +
                 " filter: " + (cause ? cause : "unknown error");
    }

    const char* file_;
    const char* filter_;
    const char* const* symbols_;
    void** slots_;
    std::once_flag once_;
    std::string error_;
};

#define DEFLATE_SYMBOLS(X)                                                          \
    X(libdeflate_alloc_compressor) X(libdeflate_alloc_decompressor) X(libdeflate_crc32) \
    X(libdeflate_deflate_compress) X(libdeflate_deflate_compress_bound)               \
    X(libdeflate_free_compressor) X(libdeflate_free_decompressor)                     \
    X(libdeflate_gzip_decompress_ex)
#define BZIP2_SYMBOLS(X)                                                            \
    X(BZ2_bzCompressInit) X(BZ2_bzCompress) X(BZ2_bzCompressEnd)                      \
    X(BZ2_bzDecompressInit) X(BZ2_bzDecompress) X(BZ2_bzDecompressEnd)
#define LZO_SYMBOLS(X)                                                              \
    X(__lzo_init_v2) X(lzo_version) X(lzo_adler32) X(lzo_crc32) X(lzo1x_1_compress)   \
    X(lzo1x_1_15_compress) X(lzo1x_999_compress_level) X(lzo1x_decompress_safe)
#define LZMA_SYMBOLS(X)                                                             \
    X(lzma_code) X(lzma_end) X(lzma_physmem) X(lzma_memusage) X(lzma_memlimit_get)     \
    X(lzma_lzma_preset) X(lzma_alone_encoder) X(lzma_alone_decoder)                   \
    X(lzma_stream_encoder_mt) X(lzma_stream_decoder_mt)

#define SYMBOL_NAME(name) #name,
#define SYMBOL_INDEX(name) name,
#define LIBRARY(tag, file, filter, SYMBOLS)                                           \
    enum class tag##_symbol { SYMBOLS(SYMBOL_INDEX) count_ };                          \
    const char* const tag##_names[] = {SYMBOLS(SYMBOL_NAME) nullptr};                  \
    void* tag##_slots[static_cast<int>(tag##_symbol::count_)];                         \
    Library tag##_library(file, filter, tag##_names, tag##_slots);

LIBRARY(deflate, "libdeflate.so.0", "gzip", DEFLATE_SYMBOLS)
LIBRARY(bzip2, "libbz2.so.1.0", "bzip2", BZIP2_SYMBOLS)
LIBRARY(lzo, "liblzo2.so.2", "lzop", LZO_SYMBOLS)
LIBRARY(lzma, "liblzma.so.5", "xz and lzma", LZMA_SYMBOLS)

// The real function behind the forwarder of the same name.
#define REAL(tag, name)                                                 \
    reinterpret_cast<decltype(&::name)>(                 \
        ondrel::tag##_library.slot(static_cast<int>(ondrel::tag##_symbol::name)))

}  // namespace

void load_codec_library(const codecs::Codec& codec) {
    if (&codec == &codecs::detail::gzip_codec) deflate_library.require();
    if (&codec == &codecs::detail::bzip2_codec) bzip2_library.require();
    if (&codec == &codecs::detail::lzop_codec) lzo_library.require();
    if (&codec == &codecs::detail::xz_codec || &codec == &codecs::detail::lzma_codec)
        lzma_library.require();
}

}  // namespace ondrel

// The forwarders, matching the libraries' own declarations, noexcept and
// all: liblzma's promise not to throw stands, which is why the filter lookup
// loads a library before any of these can run.
extern "C" {

libdeflate_compressor* libdeflate_alloc_compressor(int level) {
    return REAL(deflate, libdeflate_alloc_compressor)(level);
}
libdeflate_decompressor* libdeflate_alloc_decompressor(void) {
    return REAL(deflate, libdeflate_alloc_decompressor)();
}
uint32_t libdeflate_crc32(uint32_t crc, const void* buffer, size_t len) {
    return REAL(deflate, libdeflate_crc32)(crc, buffer, len);
}
size_t libdeflate_deflate_compress(libdeflate_compressor* c, const void* in, size_t in_nbytes,
                                   void* out, size_t out_nbytes_avail) {
    return REAL(deflate, libdeflate_deflate_compress)(c, in, in_nbytes, out, out_nbytes_avail);
}
size_t libdeflate_deflate_compress_bound(libdeflate_compressor* c, size_t in_nbytes) {
    return REAL(deflate, libdeflate_deflate_compress_bound)(c, in_nbytes);
}
void libdeflate_free_compressor(libdeflate_compressor* c) {
    REAL(deflate, libdeflate_free_compressor)(c);
}
void libdeflate_free_decompressor(libdeflate_decompressor* d) {
    REAL(deflate, libdeflate_free_decompressor)(d);
}
libdeflate_result libdeflate_gzip_decompress_ex(libdeflate_decompressor* d, const void* in,
                                                size_t in_nbytes, void* out,
                                                size_t out_nbytes_avail, size_t* actual_in,
                                                size_t* actual_out) {
    return REAL(deflate, libdeflate_gzip_decompress_ex)(d, in, in_nbytes, out, out_nbytes_avail,
                                                        actual_in, actual_out);
}

int BZ2_bzCompressInit(bz_stream* strm, int block_size_100k, int verbosity, int work_factor) {
    return REAL(bzip2, BZ2_bzCompressInit)(strm, block_size_100k, verbosity, work_factor);
}
int BZ2_bzCompress(bz_stream* strm, int action) { return REAL(bzip2, BZ2_bzCompress)(strm, action); }
int BZ2_bzCompressEnd(bz_stream* strm) { return REAL(bzip2, BZ2_bzCompressEnd)(strm); }
int BZ2_bzDecompressInit(bz_stream* strm, int verbosity, int small) {
    return REAL(bzip2, BZ2_bzDecompressInit)(strm, verbosity, small);
}
int BZ2_bzDecompress(bz_stream* strm) { return REAL(bzip2, BZ2_bzDecompress)(strm); }
int BZ2_bzDecompressEnd(bz_stream* strm) { return REAL(bzip2, BZ2_bzDecompressEnd)(strm); }

int __lzo_init_v2(unsigned v, int s1, int s2, int s3, int s4, int s5, int s6, int s7, int s8,
                  int s9) {
    return REAL(lzo, __lzo_init_v2)(v, s1, s2, s3, s4, s5, s6, s7, s8, s9);
}
unsigned lzo_version(void) { return REAL(lzo, lzo_version)(); }
lzo_uint32_t lzo_adler32(lzo_uint32_t c, const lzo_bytep buf, lzo_uint len) {
    return REAL(lzo, lzo_adler32)(c, buf, len);
}
lzo_uint32_t lzo_crc32(lzo_uint32_t c, const lzo_bytep buf, lzo_uint len) {
    return REAL(lzo, lzo_crc32)(c, buf, len);
}
int lzo1x_1_compress(const lzo_bytep src, lzo_uint src_len, lzo_bytep dst, lzo_uintp dst_len,
                     lzo_voidp wrkmem) {
    return REAL(lzo, lzo1x_1_compress)(src, src_len, dst, dst_len, wrkmem);
}
int lzo1x_1_15_compress(const lzo_bytep src, lzo_uint src_len, lzo_bytep dst, lzo_uintp dst_len,
                        lzo_voidp wrkmem) {
    return REAL(lzo, lzo1x_1_15_compress)(src, src_len, dst, dst_len, wrkmem);
}
int lzo1x_999_compress_level(const lzo_bytep src, lzo_uint src_len, lzo_bytep dst,
                             lzo_uintp dst_len, lzo_voidp wrkmem, const lzo_bytep dict,
                             lzo_uint dict_len, lzo_callback_p cb, int level) {
    return REAL(lzo, lzo1x_999_compress_level)(src, src_len, dst, dst_len, wrkmem, dict,
                                               dict_len, cb, level);
}
int lzo1x_decompress_safe(const lzo_bytep src, lzo_uint src_len, lzo_bytep dst,
                          lzo_uintp dst_len, lzo_voidp wrkmem) {
    return REAL(lzo, lzo1x_decompress_safe)(src, src_len, dst, dst_len, wrkmem);
}

lzma_ret lzma_code(lzma_stream* strm, lzma_action action) lzma_nothrow {
    return REAL(lzma, lzma_code)(strm, action);
}
void lzma_end(lzma_stream* strm) lzma_nothrow { REAL(lzma, lzma_end)(strm); }
uint64_t lzma_physmem(void) lzma_nothrow { return REAL(lzma, lzma_physmem)(); }
uint64_t lzma_memusage(const lzma_stream* strm) lzma_nothrow {
    return REAL(lzma, lzma_memusage)(strm);
}
uint64_t lzma_memlimit_get(const lzma_stream* strm) lzma_nothrow {
    return REAL(lzma, lzma_memlimit_get)(strm);
}
lzma_bool lzma_lzma_preset(lzma_options_lzma* options, uint32_t preset) lzma_nothrow {
    return REAL(lzma, lzma_lzma_preset)(options, preset);
}
lzma_ret lzma_alone_encoder(lzma_stream* strm, const lzma_options_lzma* options) lzma_nothrow {
    return REAL(lzma, lzma_alone_encoder)(strm, options);
}
lzma_ret lzma_alone_decoder(lzma_stream* strm, uint64_t memlimit) lzma_nothrow {
    return REAL(lzma, lzma_alone_decoder)(strm, memlimit);
}
lzma_ret lzma_stream_encoder_mt(lzma_stream* strm, const lzma_mt* options) lzma_nothrow {
    return REAL(lzma, lzma_stream_encoder_mt)(strm, options);
}
lzma_ret lzma_stream_decoder_mt(lzma_stream* strm, const lzma_mt* options) lzma_nothrow {
    return REAL(lzma, lzma_stream_decoder_mt)(strm, options);
}

}  // extern "C"

#else

namespace ondrel {
void load_codec_library(const codecs::Codec&) {}  // linked directly there
}  // namespace ondrel

#endif
