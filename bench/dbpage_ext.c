/* A read-only sqlite_dbpage(pgno, data) table for Debian's sqlite3 shell, which is built
 * without one; the shell's .recover reads every page through it. Loaded with
 *   sqlite3 -cmd ".load /path/to/libdbpage" DB .recover
 * Pages are read straight from the main database file through its VFS handle, so damaged
 * files whose header SQLite refuses can still be read page by page. The page size is the
 * header's when it is a valid one, else SQLite's default of 4096. Written against SQLite's
 * public virtual-table API. */
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT1

#include <stdlib.h>
#include <string.h>

typedef struct DbpageTable {
  sqlite3_vtab base;
  sqlite3* db;
} DbpageTable;

typedef struct DbpageCursor {
  sqlite3_vtab_cursor base;
  sqlite3_file* file;
  sqlite3_int64 pgno;
  sqlite3_int64 last;
  int page_size;
} DbpageCursor;

#define COL_PGNO 0
#define COL_DATA 1
#define COL_SCHEMA 2

static int dbpageConnect(sqlite3* db, void* aux, int argc, const char* const* argv,
                         sqlite3_vtab** out, char** err) {
  (void)aux;
  (void)argc;
  (void)argv;
  (void)err;
  int rc = sqlite3_declare_vtab(
      db, "CREATE TABLE x(pgno INTEGER PRIMARY KEY, data BLOB, schema HIDDEN)");
  if (rc != SQLITE_OK) return rc;
  DbpageTable* t = sqlite3_malloc(sizeof(*t));
  if (!t) return SQLITE_NOMEM;
  memset(t, 0, sizeof(*t));
  t->db = db;
  *out = &t->base;
  return SQLITE_OK;
}

static int dbpageDisconnect(sqlite3_vtab* vt) {
  sqlite3_free(vt);
  return SQLITE_OK;
}

/* idxNum bit 1: schema given (argv[0]); bit 2: pgno equality (next argv). */
static int dbpageBestIndex(sqlite3_vtab* vt, sqlite3_index_info* info) {
  (void)vt;
  int argi = 0, schema = -1, pgno = -1;
  for (int i = 0; i < info->nConstraint; i++) {
    const struct sqlite3_index_constraint* c = &info->aConstraint[i];
    if (c->op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
    if (c->iColumn == COL_SCHEMA) {
      if (!c->usable) return SQLITE_CONSTRAINT;
      schema = i;
    } else if (c->iColumn == COL_PGNO && c->usable) {
      pgno = i;
    }
  }
  info->idxNum = 0;
  if (schema >= 0) {
    info->aConstraintUsage[schema].argvIndex = ++argi;
    info->aConstraintUsage[schema].omit = 1;
    info->idxNum |= 1;
  }
  if (pgno >= 0) {
    info->aConstraintUsage[pgno].argvIndex = ++argi;
    info->aConstraintUsage[pgno].omit = 1;
    info->idxNum |= 2;
    info->estimatedCost = 1.0;
    info->estimatedRows = 1;
    info->idxFlags = SQLITE_INDEX_SCAN_UNIQUE;
  } else {
    info->estimatedCost = 1000000.0;
  }
  if (info->nOrderBy == 1 && info->aOrderBy[0].iColumn == COL_PGNO && !info->aOrderBy[0].desc) {
    info->orderByConsumed = 1;
  }
  return SQLITE_OK;
}

static int dbpageOpen(sqlite3_vtab* vt, sqlite3_vtab_cursor** out) {
  (void)vt;
  DbpageCursor* c = sqlite3_malloc(sizeof(*c));
  if (!c) return SQLITE_NOMEM;
  memset(c, 0, sizeof(*c));
  *out = &c->base;
  return SQLITE_OK;
}

static int dbpageClose(sqlite3_vtab_cursor* cur) {
  sqlite3_free(cur);
  return SQLITE_OK;
}

static int dbpageFilter(sqlite3_vtab_cursor* cur, int idxNum, const char* idxStr, int argc,
                        sqlite3_value** argv) {
  (void)idxStr;
  (void)argc;
  DbpageCursor* c = (DbpageCursor*)cur;
  DbpageTable* t = (DbpageTable*)cur->pVtab;
  int argi = 0;
  const char* schema = "main";
  if (idxNum & 1) {
    const unsigned char* s = sqlite3_value_text(argv[argi++]);
    if (s) schema = (const char*)s;
  }
  if (strcmp(schema, "main") != 0) {
    c->pgno = 1;
    c->last = 0; /* only the main database is offered */
    return SQLITE_OK;
  }
  sqlite3_file* f = 0;
  if (sqlite3_file_control(t->db, "main", SQLITE_FCNTL_FILE_POINTER, &f) != SQLITE_OK || !f ||
      !f->pMethods) {
    return SQLITE_ERROR;
  }
  c->file = f;
  unsigned char head[18];
  memset(head, 0, sizeof(head));
  c->page_size = 4096;
  if (f->pMethods->xRead(f, head, 18, 0) == SQLITE_OK && memcmp(head, "SQLite format 3", 15) == 0) {
    int ps = (head[16] << 8) | head[17];
    if (ps == 1) ps = 65536;
    if (ps >= 512 && ps <= 65536 && (ps & (ps - 1)) == 0) c->page_size = ps;
  }
  sqlite3_int64 size = 0;
  if (f->pMethods->xFileSize(f, &size) != SQLITE_OK) return SQLITE_ERROR;
  sqlite3_int64 count = (size + c->page_size - 1) / c->page_size;
  c->pgno = 1;
  c->last = count;
  if (idxNum & 2) {
    sqlite3_int64 want = sqlite3_value_int64(argv[argi]);
    if (want < 1 || want > count) {
      c->pgno = 1;
      c->last = 0;
    } else {
      c->pgno = want;
      c->last = want;
    }
  }
  return SQLITE_OK;
}

static int dbpageNext(sqlite3_vtab_cursor* cur) {
  ((DbpageCursor*)cur)->pgno++;
  return SQLITE_OK;
}

static int dbpageEof(sqlite3_vtab_cursor* cur) {
  DbpageCursor* c = (DbpageCursor*)cur;
  return c->pgno > c->last;
}

static int dbpageColumn(sqlite3_vtab_cursor* cur, sqlite3_context* ctx, int col) {
  DbpageCursor* c = (DbpageCursor*)cur;
  if (col == COL_PGNO) {
    sqlite3_result_int64(ctx, c->pgno);
  } else if (col == COL_DATA) {
    unsigned char* buf = sqlite3_malloc(c->page_size);
    if (!buf) return SQLITE_NOMEM;
    memset(buf, 0, (size_t)c->page_size);
    int rc = c->file->pMethods->xRead(c->file, buf, c->page_size,
                                      (c->pgno - 1) * (sqlite3_int64)c->page_size);
    if (rc != SQLITE_OK && rc != SQLITE_IOERR_SHORT_READ) {
      sqlite3_free(buf);
      return rc;
    }
    sqlite3_result_blob(ctx, buf, c->page_size, sqlite3_free);
  } else {
    sqlite3_result_text(ctx, "main", -1, SQLITE_STATIC);
  }
  return SQLITE_OK;
}

static int dbpageRowid(sqlite3_vtab_cursor* cur, sqlite3_int64* rowid) {
  *rowid = ((DbpageCursor*)cur)->pgno;
  return SQLITE_OK;
}

static sqlite3_module dbpageModule = {0,                /* iVersion */
                                      0,                /* xCreate: eponymous only */
                                      dbpageConnect,    /* xConnect */
                                      dbpageBestIndex,  /* xBestIndex */
                                      dbpageDisconnect, /* xDisconnect */
                                      0,                /* xDestroy */
                                      dbpageOpen,       /* xOpen */
                                      dbpageClose,      /* xClose */
                                      dbpageFilter,     /* xFilter */
                                      dbpageNext,       /* xNext */
                                      dbpageEof,        /* xEof */
                                      dbpageColumn,     /* xColumn */
                                      dbpageRowid,      /* xRowid */
                                      0,                /* xUpdate: read-only */
                                      0,
                                      0,
                                      0,
                                      0,
                                      0,
                                      0,
                                      0,
                                      0,
                                      0,
                                      0};

#ifdef _WIN32
__declspec(dllexport)
#endif
    int sqlite3_dbpage_init(sqlite3* db, char** err, const sqlite3_api_routines* api) {
  (void)err;
  SQLITE_EXTENSION_INIT2(api);
  return sqlite3_create_module(db, "sqlite_dbpage", &dbpageModule, 0);
}
