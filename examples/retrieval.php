<?php
// Retrieval for an LLM prompt: document chunks with metadata, a search
// restricted to one tenant and language, and removing a source document.
//   php -d extension=qarbin.so examples/retrieval.php
//
// The vectors here are toy 64-dimensional "embeddings" made from the words of
// each chunk, so the example runs without an embedding model; put your
// model's vectors in their place.

function embed(string $text): array {
    $v = array_fill(0, 64, 0.0);
    foreach (preg_split('/\W+/', strtolower($text), -1, PREG_SPLIT_NO_EMPTY) as $word) {
        $h = crc32($word);
        $v[$h % 64] += 1.0;
    }
    return $v;
}

$store = new QarbinStore(null, ['dimensions' => 64, 'distance' => 'cosine']);

$documents = [
    ['source' => 'handbook.pdf', 'tenant' => 7, 'lang' => 'en', 'chunks' => [
        'Holidays are requested in the staff portal two weeks ahead.',
        'Travel expenses are refunded within thirty days.',
    ]],
    ['source' => 'faq.html', 'tenant' => 7, 'lang' => 'en', 'chunks' => [
        'Reset your password from the login page.',
        'Holidays carry over until the end of March.',
    ]],
    ['source' => 'handbuch.pdf', 'tenant' => 7, 'lang' => 'de', 'chunks' => [
        'Urlaub wird im Portal zwei Wochen vorher beantragt.',
    ]],
    ['source' => 'other-company.pdf', 'tenant' => 9, 'lang' => 'en', 'chunks' => [
        'Holidays are granted by your manager.',
    ]],
];

// One record per chunk: the key names source and position, the metadata
// carries what queries filter on plus the text to put in the prompt.
foreach ($documents as $doc) {
    foreach ($doc['chunks'] as $i => $text) {
        $meta = ['source' => $doc['source'], 'tenant' => $doc['tenant'], 'lang' => $doc['lang'], 'text' => $text];
        $store->set($doc['source'] . '#' . $i, embed($text), json_encode($meta));
    }
}

// Only tenant 7's English chunks may reach this user's prompt.
$question = 'How do I request holidays?';
$filter = ['tenant' => 7, 'lang' => 'en'];
echo "Context for: $question\n";
foreach ($store->search(embed($question), 3, 50.0, $filter) as $row) {
    $meta = json_decode($row['metadata'], true);
    printf("  %.3f  %-16s %s\n", $row['score'], $row['key'], $meta['text']);
}

// The handbook was withdrawn: remove every chunk of it.
$removed = $store->deleteWhere(['source' => 'handbook.pdf']);
echo "Removed $removed chunks of handbook.pdf; left: ", implode(', ', $store->keys()), "\n";
echo "handbook.pdf#0 still there: ", var_export($store->has('handbook.pdf#0'), true), "\n";

echo "Context after the removal:\n";
foreach ($store->search(embed($question), 3, 50.0, $filter) as $row) {
    printf("  %.3f  %-16s %s\n", $row['score'], $row['key'], json_decode($row['metadata'], true)['text']);
}
