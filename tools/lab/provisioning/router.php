<?php
// Provisioning service stand-in for the local lab and the tests.
//
//   php -S 127.0.0.1:8088 tools/lab/provisioning/router.php
//
// POST .../oService answers ActionCode SOFTWARE.START with the JSON reply file, read
// afresh on every request: replies/<name>.json for ?reply=<name>, else $VELNARO_LAB_REPLY,
// else replies/default.json. Every posted form is kept for tests in $VELNARO_LAB_STATE
// (default: <system temp>/velnaro-lab-provisioning): last_body.txt (raw body),
// last_post.json (the form as PHP decoded it), last_headers.json (User-Agent and
// Content-Type of the latest request of any kind) and requests.log (one line per request).
// Helpers for download tests: /files/<name> serves $VELNARO_LAB_FILES/<name>,
// /redirect/<path> answers 302 to /<path>, /cut/<n> announces 2n bytes and sends n,
// /status/<code> answers that status.

$dir = __DIR__;
$path = parse_url($_SERVER['REQUEST_URI'], PHP_URL_PATH) ?? '/';
$query = $_SERVER['QUERY_STRING'] ?? '';
$state = getenv('VELNARO_LAB_STATE') ?: (sys_get_temp_dir() . '/velnaro-lab-provisioning');
@mkdir($state, 0700, true);

function log_request(string $state, string $path): void {
    file_put_contents($state . '/requests.log',
        $_SERVER['REQUEST_METHOD'] . ' ' . $path . "\n", FILE_APPEND | LOCK_EX);
}

log_request($state, $path);
file_put_contents($state . '/last_headers.json', json_encode([
    'User-Agent' => $_SERVER['HTTP_USER_AGENT'] ?? null,
    'Content-Type' => $_SERVER['CONTENT_TYPE'] ?? ($_SERVER['HTTP_CONTENT_TYPE'] ?? null),
], JSON_UNESCAPED_SLASHES), LOCK_EX);

if (preg_match('#^/redirect(/.*)$#', $path, $m)) {
    header('Location: ' . $m[1] . ($query !== '' ? '?' . $query : ''), true, 302);
    exit;
}

if (preg_match('#^/status/(\d{3})$#', $path, $m)) {
    http_response_code((int)$m[1]);
    echo "status " . $m[1] . "\n";
    exit;
}

if (preg_match('#^/cut/(\d+)$#', $path, $m)) {
    $n = (int)$m[1];
    header('Content-Type: application/octet-stream');
    header('Content-Length: ' . (2 * $n));
    echo str_repeat('x', $n);
    flush();
    exit;
}

if (preg_match('#^/files/([A-Za-z0-9._-]+)$#', $path, $m)) {
    $files = getenv('VELNARO_LAB_FILES') ?: ($dir . '/files');
    $file = $files . '/' . $m[1];
    if (!is_file($file)) {
        http_response_code(404);
        echo "not found\n";
        exit;
    }
    header('Content-Type: application/octet-stream');
    header('Content-Length: ' . filesize($file));
    readfile($file);
    exit;
}

if (preg_match('#/oService$#', $path)) {
    if ($_SERVER['REQUEST_METHOD'] !== 'POST') {
        http_response_code(405);
        exit;
    }
    $body = file_get_contents('php://input');
    file_put_contents($state . '/last_body.txt', $body, LOCK_EX);
    file_put_contents($state . '/last_post.json',
        json_encode($_POST, JSON_UNESCAPED_SLASHES | JSON_UNESCAPED_UNICODE | JSON_INVALID_UTF8_SUBSTITUTE), LOCK_EX);
    header('Content-Type: application/json; charset=utf-8');
    $action = $_POST['ActionCode'] ?? '';
    if ($action !== 'SOFTWARE.START') {
        echo json_encode(['Response' => ['Error' =>
            ['ErrorID' => '1', 'ErrorDS' => 'Azione non riconosciuta: ' . $action]]]);
        exit;
    }
    parse_str($query, $q);
    if (isset($q['reply'])) {
        $reply = $dir . '/replies/' . basename((string)$q['reply']) . '.json';
    } else {
        $reply = getenv('VELNARO_LAB_REPLY') ?: ($dir . '/replies/default.json');
    }
    $text = @file_get_contents($reply);
    if ($text === false) {
        http_response_code(500);
        echo "reply file missing\n";
        exit;
    }
    echo $text;
    exit;
}

http_response_code(404);
echo "not found\n";
