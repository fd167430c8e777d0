/* GMime peer of bench_decode: parses a message file and writes every leaf
 * part, decoded, to a file in a scratch folder; a part with a Content-MD5
 * header is digested while it is written (a checksum filter in the output
 * chain) and the digest compared with the header. Repeats for at least the
 * given time and prints {"mb_s": rate of the input file, "runs": n}.
 *
 *   decode_gmime MESSAGE OUT_FOLDER SECONDS
 *
 * Built by bench/run_inbound_bench.sh with pkg-config gmime-3.0. */
#include <fcntl.h>
#include <gmime/gmime.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int g_parts;
static int g_mismatches;
static const char *g_out;

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void save_part(GMimeObject *parent, GMimeObject *part, gpointer data) {
    (void)parent;
    (void)data;
    if (!GMIME_IS_PART(part)) return;
    GMimeDataWrapper *content = g_mime_part_get_content(GMIME_PART(part));
    if (!content) return;
    char path[4096];
    snprintf(path, sizeof(path), "%s/part%d", g_out, g_parts++);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    GMimeStream *file = g_mime_stream_fs_new(fd);
    GMimeStream *out = g_mime_stream_filter_new(file);
    GMimeFilter *md5 = NULL;
    const char *expected = g_mime_part_get_content_md5(GMIME_PART(part));
    if (expected) {
        md5 = g_mime_filter_checksum_new(G_CHECKSUM_MD5);
        g_mime_stream_filter_add(GMIME_STREAM_FILTER(out), md5);
    }
    g_mime_data_wrapper_write_to_stream(content, out);
    g_mime_stream_flush(out);
    if (md5) {
        /* Content-MD5 is the base64 text of the 16 digest bytes. */
        unsigned char digest[16];
        g_mime_filter_checksum_get_digest(GMIME_FILTER_CHECKSUM(md5), digest, sizeof(digest));
        gchar *text = g_base64_encode(digest, sizeof(digest));
        if (strncmp(text, expected, strlen(text)) != 0) g_mismatches++;
        g_free(text);
        g_object_unref(md5);
    }
    g_object_unref(out);
    g_object_unref(file);
}

static void decode_once(const char *message) {
    int fd = open(message, O_RDONLY);
    if (fd < 0) {
        perror(message);
        exit(1);
    }
    GMimeStream *stream = g_mime_stream_fs_new(fd);
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage *msg = g_mime_parser_construct_message(parser, NULL);
    if (!msg) {
        fprintf(stderr, "GMime could not parse %s\n", message);
        exit(1);
    }
    g_parts = 0;
    g_mime_message_foreach(msg, save_part, NULL);
    g_object_unref(msg);
    g_object_unref(parser);
    g_object_unref(stream);
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s MESSAGE OUT_FOLDER SECONDS\n", argv[0]);
        return 2;
    }
    g_mime_init();
    g_out = argv[2];
    double seconds = atof(argv[3]);
    struct stat st;
    if (stat(argv[1], &st) != 0) {
        perror(argv[1]);
        return 1;
    }
    decode_once(argv[1]); /* warm-up */
    int runs = 0;
    double start = now(), elapsed;
    do {
        decode_once(argv[1]);
        runs++;
        elapsed = now() - start;
    } while (elapsed < seconds);
    if (g_mismatches) {
        fprintf(stderr, "digest mismatch in %d parts\n", g_mismatches);
        return 1;
    }
    printf("{\"mb_s\": %.3f, \"runs\": %d, \"parts\": %d}\n", st.st_size * (double)runs / elapsed / 1048576.0, runs,
           g_parts);
    g_mime_shutdown();
    return 0;
}
