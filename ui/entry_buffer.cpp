#include "ui/entry_buffer.h"

#include <new>
#include <string>

namespace {

struct KadaEntryBuffer {
    GtkEntryBuffer parent;
    std::string* text;
    guint length;  // in characters
};

struct KadaEntryBufferClass {
    GtkEntryBufferClass parent_class;
};

G_DEFINE_TYPE(KadaEntryBuffer, kada_entry_buffer, GTK_TYPE_ENTRY_BUFFER)

KadaEntryBuffer* self_of(GtkEntryBuffer* b) { return reinterpret_cast<KadaEntryBuffer*>(b); }

std::size_t byte_offset(const std::string& s, guint chars) {
    return static_cast<std::size_t>(g_utf8_offset_to_pointer(s.c_str(), chars) - s.c_str());
}

const gchar* get_text(GtkEntryBuffer* b, gsize* n_bytes) {
    KadaEntryBuffer* self = self_of(b);
    if (n_bytes) *n_bytes = self->text->size();
    return self->text->c_str();
}

guint get_length(GtkEntryBuffer* b) { return self_of(b)->length; }

guint insert_text(GtkEntryBuffer* b, guint position, const gchar* chars, guint n_chars) {
    KadaEntryBuffer* self = self_of(b);
    if (position > self->length) position = self->length;
    auto n_bytes = static_cast<std::size_t>(g_utf8_offset_to_pointer(chars, n_chars) - chars);
    self->text->insert(byte_offset(*self->text, position), chars, n_bytes);
    self->length += n_chars;
    gtk_entry_buffer_emit_inserted_text(b, position, chars, n_chars);
    return n_chars;
}

guint delete_text(GtkEntryBuffer* b, guint position, guint n_chars) {
    KadaEntryBuffer* self = self_of(b);
    if (position > self->length) position = self->length;
    if (n_chars > self->length - position) n_chars = self->length - position;
    if (n_chars == 0) return 0;
    std::size_t from = byte_offset(*self->text, position);
    std::size_t to = from + static_cast<std::size_t>(
                                g_utf8_offset_to_pointer(self->text->c_str() + from, n_chars) - (self->text->c_str() + from));
    self->text->erase(from, to - from);
    self->length -= n_chars;
    gtk_entry_buffer_emit_deleted_text(b, position, n_chars);
    return n_chars;
}

void finalize(GObject* obj) {
    delete reinterpret_cast<KadaEntryBuffer*>(obj)->text;
    G_OBJECT_CLASS(kada_entry_buffer_parent_class)->finalize(obj);
}

void kada_entry_buffer_init(KadaEntryBuffer* self) {
    self->text = new std::string();
    self->length = 0;
}

void kada_entry_buffer_class_init(KadaEntryBufferClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = finalize;
    GtkEntryBufferClass* b = GTK_ENTRY_BUFFER_CLASS(klass);
    b->get_text = get_text;
    b->get_length = get_length;
    b->insert_text = insert_text;
    b->delete_text = delete_text;
}

}  // namespace

namespace kada {

GtkEntryBuffer* unlimited_entry_buffer_new() {
    return GTK_ENTRY_BUFFER(g_object_new(kada_entry_buffer_get_type(), nullptr));
}

}  // namespace kada
