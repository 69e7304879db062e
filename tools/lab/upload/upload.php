<?php
// Receiver of recording uploads for the lab and the tests. Stores each upload in a
// directory of its own under $VELNARO_UPLOAD_DIR (default: the system temp folder's
// velnaro-uploads): the file as "Allegato" and everything else in meta.json.
// $VELNARO_UPLOAD_STATUS, when set, is the HTTP status it answers with.

$root = getenv('VELNARO_UPLOAD_DIR') ?: (sys_get_temp_dir() . '/velnaro-uploads');
$status = (int)(getenv('VELNARO_UPLOAD_STATUS') ?: 200);

$dir = sprintf('%s/%s-%s', $root, date('His'), uniqid('', true));
if (!is_dir($dir) && !mkdir($dir, 0777, true)) {
    http_response_code(500);
    echo "cannot create $dir";
    exit;
}

$fields = [];
foreach ($_POST as $name => $value) {
    $fields[] = [$name, $value];
}
$file = null;
if (isset($_FILES['Allegato'])) {
    $f = $_FILES['Allegato'];
    $file = [
        'name' => $f['full_path'] ?? $f['name'],
        'type' => $f['type'],
        'size' => $f['size'],
        'error' => $f['error'],
    ];
    if ($f['error'] === UPLOAD_ERR_OK) {
        move_uploaded_file($f['tmp_name'], "$dir/Allegato");
    }
}
$meta = [
    'method' => $_SERVER['REQUEST_METHOD'],
    'query' => $_SERVER['QUERY_STRING'] ?? '',
    'get' => $_GET,
    'fields' => $fields,
    'files' => array_keys($_FILES),
    'file' => $file,
    'headers' => function_exists('getallheaders') ? getallheaders() : [],
];
file_put_contents("$dir/meta.json", json_encode($meta, JSON_PRETTY_PRINT | JSON_UNESCAPED_SLASHES));

http_response_code($status);
if ($file && $file['error'] === UPLOAD_ERR_OK) {
    echo "Upload OK: " . $file['size'] . " bytes";
} else {
    echo "Upload KO: " . ($file ? $file['error'] : 'no file');
}
