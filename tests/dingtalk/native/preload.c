/* Loaded with LD_PRELOAD into a Python process that runs the client, to
 * provoke what cannot be provoked from outside it:
 *   NUV_CLOCK_SHIFT=<seconds>  time() runs that far off (a stale timestamp)
 *   NUV_FAIL_BIO=base64|mem    BIO_new of that method fails */
#define _GNU_SOURCE /* RTLD_NEXT */
#include <dlfcn.h>
#include <openssl/bio.h>
#include <openssl/evp.h> /* BIO_f_base64 */
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

time_t time(time_t* out) {
  struct timeval now;
  gettimeofday(&now, NULL);
  const char* shift = getenv("NUV_CLOCK_SHIFT");
  time_t value = now.tv_sec + (shift ? (time_t)atoll(shift) : 0);
  if (out) *out = value;
  return value;
}

BIO* BIO_new(const BIO_METHOD* method) {
  static BIO* (*real_bio_new)(const BIO_METHOD*);
  if (!real_bio_new) real_bio_new = (BIO * (*)(const BIO_METHOD*)) dlsym(RTLD_NEXT, "BIO_new");
  const char* fail = getenv("NUV_FAIL_BIO");
  if (fail && ((strcmp(fail, "base64") == 0 && method == BIO_f_base64()) ||
               (strcmp(fail, "mem") == 0 && method == BIO_s_mem()))) {
    return NULL;
  }
  return real_bio_new(method);
}
