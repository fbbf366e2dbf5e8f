/* The floor of the benchmark: N GETs of one URL with one reused libcurl easy
 * handle (so one kept-alive connection), timing each call.
 *
 * usage: floor URL CA_FILE TOKEN N
 * prints: median and minimum seconds per call, one line, and fails unless
 * every answer was 200.
 */
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static size_t sink(char *data, size_t size, size_t count, void *user) {
  (void)data;
  *(size_t *)user += size * count;
  return size * count;
}

static int by_value(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s URL CA_FILE TOKEN N\n", argv[0]);
    return 2;
  }
  const long n = atol(argv[4]);
  if (n < 1) return 2;
  double *times = malloc(sizeof(double) * (size_t)n);
  char authorization[512];
  snprintf(authorization, sizeof authorization, "Authorization: Bearer %s", argv[3]);

  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURL *curl = curl_easy_init();
  struct curl_slist *headers = curl_slist_append(NULL, "Content-Type: application/json");
  headers = curl_slist_append(headers, authorization);
  size_t received = 0;
  curl_easy_setopt(curl, CURLOPT_URL, argv[1]);
  curl_easy_setopt(curl, CURLOPT_CAINFO, argv[2]);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, sink);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);

  int failed = 0;
  for (long i = 0; i < n && !failed; i++) {
    const double start = now();
    CURLcode code = curl_easy_perform(curl);
    times[i] = now() - start;
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK || status != 200) {
      fprintf(stderr, "request %ld: %s, HTTP %ld\n", i, curl_easy_strerror(code), status);
      failed = 1;
    }
  }
  if (!failed) {
    qsort(times, (size_t)n, sizeof(double), by_value);
    printf("%.9f %.9f\n", times[n / 2], times[0]);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  curl_global_cleanup();
  free(times);
  return failed;
}
