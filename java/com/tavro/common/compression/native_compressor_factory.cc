// The native methods of com.tavro.common.compression.NativeCompressorFactory:
// each returns the address of a process-wide, stateless codec object, which
// the Java side keeps as a 64-bit handle.
#include <jni.h>

#include "util/compression/tessel/internal/tessel.h"
#include "util/sprock/sprock.h"

extern "C" {

JNIEXPORT jlong JNICALL
Java_com_tavro_common_compression_NativeCompressorFactory_getNativeSprockCompressor(
    JNIEnv*, jclass) {
  return reinterpret_cast<jlong>(SprockCompressor());
}

JNIEXPORT jlong JNICALL
Java_com_tavro_common_compression_NativeCompressorFactory_getNativeTesselCompressor(
    JNIEnv*, jclass) {
  return reinterpret_cast<jlong>(util::compression::TesselCompressor());
}

}  // extern "C"
