<?php
/**
 * IDE stub of the qarbin extension (qarbin.so): an embedded vector store.
 *
 * This file declares what the module registers; it is never loaded by PHP.
 * Parameter types are the ones the module declares (reflection reports the
 * same); the finer types are in the doc comments.
 *
 * INI settings (all PHP_INI_ALL, read only when a store is constructed):
 * - qarbin.default_dim = 1536            dimension when the "dimensions" option is absent
 * - qarbin.mem_initial_capacity = 4096   record slots per segment of a memory store
 * - qarbin.hnsw_max_connections = 16     HNSW links per node (M)
 * - qarbin.hnsw_construction_ef = 200    HNSW construction breadth
 * - qarbin.auto_index_threshold = 100    used slots after which a segment builds its graph,
 *                                        and the lag after which a graph is extended
 * - qarbin.pq_subvectors = 0             product-quantization sub-vectors (bytes per vector); required for "pq"
 * - qarbin.pq_training_size = 256        records collected before the PQ codebook is trained
 * - qarbin.use_avx2 = 1                  8-lane summation order for cosine and dot product
 * - qarbin.threads = 0                   threads buildIndex(), compact()'s graphs and
 *                                        searchBatch() may use; 0 every online processor. The default is 0 under the CLI
 *                                        and 1 under every other SAPI (FPM, Apache, ...), where the
 *                                        processes already share the cores; a negative or non-numeric
 *                                        value is refused with a warning
 * - qarbin.default_dir = "/tmp/qarbin"     accepted and shown by phpinfo(); no operation reads it
 * - qarbin.default_storage = 0           likewise; the mode comes from the "storage" option
 * - qarbin.hnsw_ef_search = 50           likewise; the breadth is search()'s $precision
 */

/**
 * True: the module supports stores in POSIX shared memory ("storage" => "shm").
 */
const QARBIN_SHM = true;

/**
 * The only exception class the store methods throw (code 0, fixed messages).
 * Wrong argument counts and types raise the engine's ArgumentCountError and
 * TypeError instead.
 */
class QarbinException extends \Exception
{
}

/**
 * Keyed float32 vectors with optional metadata, searched for the top-K
 * nearest neighbours. Larger scores are better for every distance: cosine
 * similarity, dot product, negated Euclidean distance, negated Manhattan
 * distance.
 *
 * Not Countable (use count()), not cloneable (clone throws Error).
 *
 * Limits: keys are 1 to 63 bytes (a NUL byte ends the key the store sees),
 * metadata up to 4096 bytes of any bytes, 1 to 4096 dimensions, at most 1000
 * results per search; vector components must be finite.
 *
 * @psalm-type SearchRow = array{key: string, score: float, metadata: string|null, text: string|null}
 * @psalm-type Record = array{key: string, vector: list<float>, metadata: string|null, text: string|null}
 */
class QarbinStore
{
    /**
     * Opens a store; everything about it is fixed here.
     *
     * Options (any other key is ignored with a warning naming it; words compared without regard
     * to case):
     * - "storage" => "memory" | "disk" | "shm": default "disk" when $dir is given, else "memory".
     *   memory: private memory, gone with the object; with a $dir it first loads the
     *   segment files found there (and never writes to them).
     *   disk: $dir is a directory of segment files (seg_0000.qbseg, ...), created if missing
     *   and reopened by the next construction on the same path.
     *   shm: $dir is a store name; POSIX shared memory (/dev/shm/qb_<name>, qb_<name>_s0000, ...)
     *   shared by every process that opens the same name, until QarbinStore::destroy().
     * - "dimensions" => int 1..4096, default ini qarbin.default_dim (1536).
     *   A disk directory that already holds segment files keeps the dimension, distance and
     *   encoding they were created with.
     * - "distance" => "cosine" | "dot" | "euclidean" | "manhattan", default "cosine".
     * - "quantization" => "none" | "f16" | "int8" | "binary" | "pq", default "none"; bytes per
     *   vector 4*dim, 2*dim, dim+8, (dim+7)/8, qarbin.pq_subvectors.
     * - "segment_size" => int record slots per segment; 0 or absent: 10000000 for disk and shm
     *   (files and objects are sparse), qarbin.mem_initial_capacity (4096) for memory.
     * - "writable" => bool, default true; false opens a read-only handle on a shm store
     *   (no effect on memory and disk stores).
     * - "memory_limit" => int bytes, or a string such as "512M", "64k", "2g"; default 0, no limit.
     *   A memory store refuses new segments beyond it.
     * - "mode" => int permission bits such as 0660: every shared object, segment file and
     *   directory this handle creates gets exactly these, whatever the umask (directories
     *   also x wherever r is set); absent: 0600 (0700 for directories), only the owner.
     *   Refused when others may write or the owner lacks read and write.
     * - "persistent" => bool, default false; true keeps the opened store in this worker process
     *   after the request (mapping, key index, attached segments), and a later construction
     *   with the same $dir and options (and settings) in the same process takes it up again,
     *   catching up with what other processes wrote meanwhile. close() and the end of the
     *   request then only let go of it. A store destroyed, or whose first segment file was
     *   removed or replaced, is opened anew. A kept memory store lives as long as the process.
     *   A kept store that a request did not use follows a compaction at the end of that request,
     *   letting go of the replaced generation.
     * - "create" => bool, default true; false opens only a store that exists: a disk directory
     *   without segment files, a shm name without its control object, or a memory store without
     *   segment files in $dir is refused with "Store not found: NAME" and nothing is created.
     * - "threads" => int, default ini qarbin.threads: how many threads buildIndex(), the graph
     *   work of compact() and searchBatch() may use inside the call (all ended before it
     *   returns); 0 every online processor, at most 256. Automatic indexing inside set() and search() always runs on
     *   the calling thread. Negative or non-numeric values are refused.
     *
     * @param string|null $dir directory (disk, memory), store name (shm), or null
     * @param array{storage?: string, dimensions?: int, distance?: string, quantization?: string,
     *              segment_size?: int, writable?: bool, memory_limit?: int|string, mode?: int,
     *              persistent?: bool, create?: bool, threads?: int}|null $options
     * @throws QarbinException "Invalid storage (use 'disk', 'memory', 'shm')",
     *         "Invalid distance (use 'cosine', 'dot', 'euclidean', 'manhattan')",
     *         "Invalid quantization (use 'none', 'f16', 'int8', 'binary', 'pq')",
     *         "dim must be 1-4096",
     *         "PQ quantization requires qarbin.pq_subvectors INI setting",
     *         "dimensions (%u) must be divisible by qarbin.pq_subvectors (%u)",
     *         "Disk mode requires a non-empty directory path",
     *         "Invalid threads (use 0 for every processor, or a positive count)",
     *         "Shm mode requires a non-empty store name",
     *         "Invalid mode (use permission bits such as 0660)",
     *         "Failed to open disk store at: %s", "Failed to open shm store: %s",
     *         "Failed to load segment files from: %s" (each with the cause appended when it is
     *         known: ": Permission denied", ": Segment file was truncated: PATH", ": Segment file
     *         is missing: PATH" (a number missing before a later one), ": Not a segment of this
     *         store: PATH"; a store is never opened without one of its segments),
     *         "Store not found: %s" ("create" => false),
     *         "Failed to allocate memory store (out of memory?)".
     *         Constructing an object again closes its old store first (lets go of it when kept).
     */
    public function __construct($dir = null, ?array $options = null) {}

    /**
     * Stores a record, replacing any record under the same key. Vector elements
     * are taken in iteration order (keys ignored) and converted to float.
     *
     * @param string $key 1 to 63 bytes
     * @param array<int|float|string|bool|null> $vector exactly `dimensions` elements
     * @param string|null $metadata up to 4096 bytes, any bytes; null or "" for none
     * @param string|null $text default null (none): the record's text for searchText() and
     *        searchHybrid(), well-formed UTF-8 of up to 1048576 bytes, kept beside the metadata (filters
     *        never read it); "" is a text of no words. Only a store of compact segments (every new
     *        store) holds text.
     * @return true
     * @throws QarbinException "Store not open", "Store is read-only", "Vector dim mismatch: expected %u",
     *         "Key too long (max 63 bytes)", "Metadata too long (max 4096 bytes)",
     *         "Text must be valid UTF-8", "Text too long (max 1048576 bytes)",
     *         "Text needs a store of compact segments (this store's segments hold no text)",
     *         "Vector components must be finite", "Failed to set vector" (empty key, memory limit reached)
     */
    public function set($key, array $vector, $metadata = null, ?string $text = null) {}

    /**
     * Stores many records, in order; records stored before a failing element stay stored.
     * A "metadata" that is not a string is ignored. A "text" is stored as set()'s $text.
     *
     * @param list<array{key: string, vector: array, metadata?: string|null, text?: string|null}> $batch
     * @return int the number of records stored
     * @throws QarbinException "Store not open", "Store is read-only", "Each batch element must be an array",
     *         "Each batch element must have a non-empty 'key' string" (no conversion of ints),
     *         "Each batch element must have a 'vector' array", "Vector dim mismatch: expected %u",
     *         "Key too long (max 63 bytes)", "Metadata too long (max 4096 bytes)",
     *         "Vector components must be finite", "Failed to set vector in batch",
     *         "A batch element's 'text' must be a string or null", and set()'s text messages
     */
    public function batchSet(array $batch) {}

    /**
     * The topK records nearest to $vector, best score first.
     *
     * @param array<int|float|string|bool|null> $vector exactly `dimensions` elements
     * @param int $topK default 10; below 1 gives [], above 1000 is served as 1000
     * @param float $precision default 50.0: HNSW search breadth (truncated to an int); below 1
     *        (e.g. 0) scans every record exactly. Segments that have reached
     *        qarbin.auto_index_threshold records build or extend their graph first when it is 1 or more.
     * @param array<string, mixed>|null $filter default null: only records whose metadata, read as a
     *        JSON object, matches it are returned (grammar in README.md, "Filtering"); [] matches every
     *        record. Records that fail the filter are still walked through in the graph, never returned.
     * @param float|null $minScore default null: rows scoring below it are not returned. An exact scan
     *        returns exactly the rows at or above it (up to topK); a graph search the rows at or above
     *        it of the same search without it (its beam is never cut short by the floor).
     * @param float $diversity default 0.0, 0 to 1: above 0 the rows are chosen by maximal marginal
     *        relevance among the beam's candidates (the best max(topK, precision) rows; 50 when the
     *        search scans), weighting the score by 1 - diversity and the largest similarity to a row
     *        already chosen by diversity; rows come in the order chosen, the best hit first. 0 gives
     *        exactly the plain rows.
     * @return list<array{key: string, score: float, metadata: string|null, text: string|null}>
     * @throws QarbinException "Store not open", "Vector dim mismatch: expected %u",
     *         "Vector components must be finite", "Search failed (out of memory?)",
     *         "Search failed: " with the cause, when a segment another process added cannot be
     *         taken (as for the constructor),
     *         "Unknown filter operator '%s'", "Malformed filter: ..." (naming the part at fault),
     *         "minScore must not be NaN", "diversity must be between 0 and 1"
     */
    public function search(array $vector, $topK = 10, $precision = 50.0, ?array $filter = null, ?float $minScore = null,
                           float $diversity = 0.0) {}

    /**
     * Builds or extends every segment's HNSW graph now, so that the first searches after a
     * bulk load do not pay for it. Works in steps of about a second; between steps
     * $progress($done, $total) is called (also once at the end). An exception thrown there
     * stops the build: the graphs made so far stay usable and the records not yet in them
     * are scored exactly. Segments another process is indexing at that moment are left to it.
     * With one thread (the "threads" option) the same records and settings always give the same
     * graph, however the steps fall and however long $progress takes, and the graph a search's
     * automatic indexing would build. With more, each step's nodes are made by that many threads
     * (all ended before $progress is called): the graph may differ from run to run, its recall
     * stays that of one thread. $progress always runs on the calling thread.
     *
     * @param (callable(int $done, int $total): mixed)|null $progress
     * @return int live records that a graph node stands for
     * @throws QarbinException "Store not open", "Store is read-only", "Index build failed (out of memory?)"
     */
    public function buildIndex(?callable $progress = null): int {}

    /**
     * Removes the record stored under $key.
     *
     * @param string $key
     * @return bool true when a record was removed; false when none was stored or the store is closed
     * @throws QarbinException "Store is read-only"
     */
    public function delete($key) {}

    /**
     * Fetches a record; its vector is the stored one decoded (approximate for quantized stores).
     *
     * @param string $key
     * @return array{key: string, vector: list<float>, metadata: string|null, text: string|null}|null null when not found
     * @throws QarbinException "Store not open"
     */
    public function get($key) {}

    /**
     * Empties a store in place; it stays open and usable. A disk store is cleared by an empty
     * compaction: one empty segment file remains, and a crash leaves all records or none.
     *
     * @return bool false when the store is closed
     * @throws QarbinException "Store is read-only"
     */
    public function clear() {}

    /**
     * Writes the records of a memory or shm store (also a read-only handle) into $dir as
     * float32 segment files that new QarbinStore($dir) opens as a disk store.
     *
     * @param string $dir
     * @return bool false when writing failed or the store is closed
     * @throws QarbinException "snapshot() is not available on disk-mode stores"
     */
    public function snapshot($dir) {}

    /**
     * Rewrites the live records into fresh segments and drops the old ones, giving back the
     * slots of deleted and replaced records (stats()["dead_count"]). Vectors are copied as
     * stored, so scores do not change; a pq store keeps its codebook and the records it still
     * holds back. Graphs are built again by the next searches (or call buildIndex()).
     * memory: one segment with room for the live records and as many again, never more than
     * the slots in use before (at least segment_size); both copies exist while it runs. A
     * memory store also compacts itself when its segment is full and more slots are dead
     * than live. disk: the new files are written aside and switched in by one
     * rename, so a crash leaves the old store or the new one (the next open finishes or
     * discards it); other processes must reopen the directory. shm: other processes go on
     * reading and writing; they move to the new segments at their next call, and a write that
     * lands in the old ones meanwhile is applied again in the new ones.
     *
     * @return int the slots reclaimed
     * @throws QarbinException "Store not open", "Store is read-only", "Compaction failed" (with
     *         ": another process is compacting", ": no space left on device" or ": out of memory"
     *         appended when that is why)
     */
    public function compact(): int {}

    /**
     * @return int records stored, including those a pq store still holds back for
     *         codebook training; 0 when the store is closed
     */
    public function count() {}

    /**
     * @return array{storage: string, total_count: int, segment_count: int, dimensions: int,
     *               distance: string, quantization: string, bytes_per_vector: int, pq_subvectors?: int,
     *               concurrency: string, index_status: string, unindexed_count: int, dead_count: int,
     *               memory_mb: float, threads: int, text_records: int, text_indexed: int,
     *               text_terms: int, text_bytes: int}|null
     *         null when the store is closed. storage "memory" | "disk" | "shm"; total_count excludes
     *         records held back for PQ training; pq_subvectors only for "pq" stores; concurrency is
     *         "lock-free (C++ std::atomic)"; index_status "ready" when some segment has a usable
     *         graph, else "none"; unindexed_count records without a graph node; dead_count slots
     *         still used by deleted or replaced records (compact() gives them back); memory_mb
     *         the size of all segment mappings; threads the threads the long calls use (0 resolved to
     *         the online processors); text_records live records with text, text_indexed those of
     *         them the segments' text indexes cover (the others are scored from their text),
     *         text_terms the terms of the indexes (a term counted once per index part holding it),
     *         text_bytes the bytes the indexes take.
     */
    public function stats() {}

    /**
     * Closes the store (trains and stores records a pq store still holds back, flushes files
     * and shared memory); every later call sees a closed store. A second close does nothing.
     * A store opened with "persistent" => true stays open for the next request: this object
     * only lets go of it.
     *
     * @return null
     */
    public function close() {}

    /**
     * Writes every record as JSON Lines: {"key":...,"vector":[...],"metadata":string|null}, with
     * "text":string after it for a record that has text.
     * To a file, components have six significant digits and bytes are copied as they are;
     * without a path, the text is json_encode(JSON_UNESCAPED_UNICODE) of each record, at full
     * precision.
     *
     * @param string|null $path file to write (created or truncated), or null for the string form
     * @return int|string records written to $path, or the JSON Lines text
     * @throws QarbinException "Store not open", "Cannot open file for writing: %s"
     */
    public function dump($path = null) {}

    /**
     * Stores every line of a JSON Lines file as set() would; blank lines are skipped, a
     * "metadata" or "text" that is not a string is dropped. Records from lines before an error stay
     * stored. A "text" is refused at its line with set()'s text messages.
     *
     * @param string $path
     * @return int the number of records stored
     * @throws QarbinException "Store not open", "Store is read-only", "Cannot open file for reading: %s",
     *         "Invalid JSON at line %d", "Missing or empty 'key' at line %d",
     *         "Missing 'vector' array at line %d", "Vector dim mismatch at line %d: expected %u",
     *         "Key too long (max 63 bytes) at line %d", "Metadata too long (max 4096 bytes) at line %d",
     *         "Vector components must be finite at line %d", "Failed to set vector at line %d"
     */
    public function load($path) {}

    /**
     * Removes the shared-memory store $name (its control object and segments). Handles
     * still open keep their mappings until they close; stores this process keeps across
     * requests under that name are opened anew by the next construction.
     *
     * @param string $name
     * @return bool true when the store existed and was removed
     */
    public static function destroy($name) {}

    /**
     * Deletes every record whose metadata matches $filter (the grammar of search()); [] deletes
     * every record. Reads every record's metadata once. Other processes sharing the store see
     * each deletion as they see delete()'s.
     *
     * @param array<string, mixed> $filter
     * @return int the number of records deleted
     * @throws QarbinException "Store not open", "Store is read-only", "Unknown filter operator '%s'",
     *         "Malformed filter: ...", "deleteWhere failed (out of memory?)"
     */
    public function deleteWhere(array $filter) {}

    /**
     * Whether a record is stored under $key; decodes nothing.
     *
     * @param string $key
     * @return bool
     * @throws QarbinException "Store not open"
     */
    public function has($key) {}

    /**
     * The live keys, optionally only those starting with $prefix, in storage order. Walks every
     * record slot: O(records) time, and the array holds every key returned.
     *
     * @param string $prefix default '': every key
     * @return list<string>
     * @throws QarbinException "Store not open", "keys failed (out of memory?)"
     */
    public function keys($prefix = '') {}

    /**
     * Many searches in one call: one list of rows per query, in the order the queries are given
     * (keys play no part), each exactly what search() returns for it with the same arguments.
     * Every query is checked first; a bad one throws naming its index (0 for the first) and
     * nothing is returned. Without $minScore and $diversity the queries are spread over the
     * store's threads (the "threads" option); the rows are the same, row for row, as with one.
     *
     * @param list<array<int|float|string|bool|null>> $vectors each exactly `dimensions` elements
     * @return list<list<array{key: string, score: float, metadata: string|null, text: string|null}>>
     * @throws QarbinException "Store not open", "Query vector must be an array at index %u",
     *         "Vector dim mismatch at index %u: expected %u", "Vector components must be finite at index %u",
     *         "Vector components must be numbers at index %u", "Search failed (out of memory?)", the
     *         filter's messages, "minScore must not be NaN", "diversity must be between 0 and 1"
     */
    public function searchBatch(array $vectors, int $topK = 10, float $precision = 50.0, ?array $filter = null,
                                ?float $minScore = null, float $diversity = 0.0): array {}

    /**
     * More like this: search() with the vector stored under $key as the query, that record left
     * out. Arguments as search()'s.
     *
     * @return list<array{key: string, score: float, metadata: string|null, text: string|null}>|null null when no
     *         record is stored under $key
     * @throws QarbinException "Store not open", "Search failed (out of memory?)", the filter's
     *         messages, "minScore must not be NaN", "diversity must be between 0 and 1"
     */
    public function similar(string $key, int $topK = 10, float $precision = 50.0, ?array $filter = null,
                            ?float $minScore = null, float $diversity = 0.0): ?array {}

    /**
     * The live records the filter matches ([] matches all), in store order, without reading a
     * vector: rows from the $offset-th match on, at most $limit of them. Pages of a store that
     * does not change meanwhile cover every match exactly once. A page tests the metadata of the
     * records from the first up to its last row: about ($offset + $limit) / (share matching).
     *
     * @param array<string, mixed> $filter grammar in README.md, "Filtering"
     * @return list<array{key: string, metadata: string|null}>
     * @throws QarbinException "Store not open", "limit must not be negative", "offset must not be negative",
     *         the filter's messages, "find failed (out of memory?)", "find failed: CAUSE" (a segment
     *         another process created cannot be taken)
     */
    public function find(array $filter, int $limit = 100, int $offset = 0): array {}

    /**
     * Replaces the metadata of the record stored under $key (null: none) and keeps its vector,
     * its graph node and its place: no dead slot, no graph work. Another process sees the new
     * metadata at its next call, never a part of it. A record of a store of the older format
     * is written again as set() would.
     *
     * @return bool false when no record is stored under $key
     * @throws QarbinException "Store not open", "Store is read-only", "Metadata too long (max N bytes)",
     *         "Failed to set metadata" with its cause (": memory limit reached", ...)
     */
    public function setMetadata(string $key, ?string $metadata): bool {}

    /**
     * The records whose text holds any word of $query, ranked by BM25 exactly as SQLite FTS5's
     * bm25() ranks them (k1 1.2, b 0.75; the score here is FTS5's negated, so larger is better),
     * best first, ties by key. Words are made as FTS5's default tokenizer makes them (unicode61:
     * runs of letters, numbers and private-use characters, case folded, diacritics removed);
     * statistics count every live record with text in the store. Records not yet in a segment's
     * text index (built with its graph) are scored from their text, so a new record is found at once.
     *
     * @param string $query words joined by OR; a query without words gives []
     * @param int $topK default 10; below 1 gives [], above 1000 is served as 1000
     * @param array<string, mixed>|null $filter as search()'s (it does not change the statistics)
     * @param float|null $minScore default null: rows scoring below it are not returned
     * @return list<array{key: string, score: float, metadata: string|null, text: string|null}>
     * @throws QarbinException "Store not open", "minScore must not be NaN", the filter's messages,
     *         "Search failed (out of memory?)", "Search failed: " with the cause
     */
    public function searchText(string $query, int $topK = 10, ?array $filter = null, ?float $minScore = null): array {}

    /**
     * Reciprocal-rank fusion of search($vector, max(50, $topK), $precision, $filter) and
     * searchText($query, max(50, $topK), $filter): each record scores
     * (1 - $textWeight) / (60 + its vector rank) + $textWeight / (60 + its text rank), ranks from
     * 1, a list it is missing from adding 0; the best $topK rows, ties by key. A row's "score" is
     * that sum; its other fields are those of the list that ranked it.
     *
     * @param array<int|float|string|bool|null> $vector exactly `dimensions` elements
     * @param string $query as searchText()'s
     * @param float $textWeight default 0.5, 0 to 1
     * @return list<array{key: string, score: float, metadata: string|null, text: string|null}>
     * @throws QarbinException search()'s and searchText()'s messages, "textWeight must be between 0 and 1"
     */
    public function searchHybrid(array $vector, string $query, int $topK = 10, float $precision = 50.0,
                                 ?array $filter = null, float $textWeight = 0.5): array {}
}
