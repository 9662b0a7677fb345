"""The translation network as the engine runs it.

Post-norm encoder-decoder:
  * one token table serves encoder and decoder inputs and, transposed, the
    output projection, which has its own bias;
  * the input row of token t at position p is table[t] * scale + pos[p],
    with a stored sinusoidal position table and one scale per stack;
  * every layer is x = norm(x + sublayer(x)), with no final stack norm;
  * attention projections and feed-forward layers all carry biases; the
    feed-forward activation is SiLU; layer-norm epsilon is 1e-5;
  * attention is plain scaled dot product, 1/sqrt(head_dim), heads taking
    consecutive slices of the model width.
Padding masks exist only for batched training; the engine runs one source
sentence at a time and decodes step by step, which needs no mask.
"""

import math

import torch
import torch.nn as nn
import torch.nn.functional as F

LAYER_NORM_EPS = 1e-5


def sinusoid_table(rows, dim):
    """Sinusoidal positions: even columns sin, odd columns cos."""
    pos = torch.arange(rows, dtype=torch.float64).unsqueeze(1)
    i = torch.arange(0, dim, 2, dtype=torch.float64)
    angle = pos / torch.pow(10000.0, i / dim)
    table = torch.zeros(rows, dim, dtype=torch.float64)
    table[:, 0::2] = torch.sin(angle)
    table[:, 1::2] = torch.cos(angle)
    return table.float()


class Attention(nn.Module):
    def __init__(self, dim, heads, dropout):
        super().__init__()
        assert dim % heads == 0
        self.dim, self.heads, self.head_dim = dim, heads, dim // heads
        # File order of the projections is key, value, query, output.
        self.key = nn.Linear(dim, dim)
        self.value = nn.Linear(dim, dim)
        self.query = nn.Linear(dim, dim)
        self.output = nn.Linear(dim, dim)
        self.dropout = dropout

    def split(self, x):
        b, n, _ = x.shape
        return x.view(b, n, self.heads, self.head_dim).transpose(1, 2)

    def forward(self, q_in, kv_in, mask=None):
        """mask: boolean, broadcastable to (batch, heads, Q, K); True = may attend."""
        q = self.split(self.query(q_in))
        k = self.split(self.key(kv_in))
        v = self.split(self.value(kv_in))
        o = F.scaled_dot_product_attention(
            q, k, v, attn_mask=mask,
            dropout_p=self.dropout if self.training else 0.0,
            scale=1.0 / math.sqrt(self.head_dim))
        b, _, n, _ = o.shape
        return self.output(o.transpose(1, 2).reshape(b, n, self.dim))


class EncoderLayer(nn.Module):
    def __init__(self, dim, heads, hidden, dropout):
        super().__init__()
        self.attention = Attention(dim, heads, dropout)
        self.attention_norm = nn.LayerNorm(dim, eps=LAYER_NORM_EPS)
        self.ffn_in = nn.Linear(dim, hidden)
        self.ffn_out = nn.Linear(hidden, dim)
        self.ffn_norm = nn.LayerNorm(dim, eps=LAYER_NORM_EPS)
        self.drop = nn.Dropout(dropout)

    def forward(self, x, mask):
        x = self.attention_norm(x + self.drop(self.attention(x, x, mask)))
        h = self.ffn_out(self.drop(F.silu(self.ffn_in(x))))
        return self.ffn_norm(x + self.drop(h))


class DecoderLayer(nn.Module):
    def __init__(self, dim, heads, hidden, dropout):
        super().__init__()
        self.self_attention = Attention(dim, heads, dropout)
        self.self_attention_norm = nn.LayerNorm(dim, eps=LAYER_NORM_EPS)
        self.cross_attention = Attention(dim, heads, dropout)
        self.cross_attention_norm = nn.LayerNorm(dim, eps=LAYER_NORM_EPS)
        self.ffn_in = nn.Linear(dim, hidden)
        self.ffn_out = nn.Linear(hidden, dim)
        self.ffn_norm = nn.LayerNorm(dim, eps=LAYER_NORM_EPS)
        self.drop = nn.Dropout(dropout)

    def forward(self, x, memory, self_mask, cross_mask):
        x = self.self_attention_norm(x + self.drop(self.self_attention(x, x, self_mask)))
        x = self.cross_attention_norm(
            x + self.drop(self.cross_attention(x, memory, cross_mask)))
        h = self.ffn_out(self.drop(F.silu(self.ffn_in(x))))
        return self.ffn_norm(x + self.drop(h))


class Translator(nn.Module):
    def __init__(self, vocab, dim=256, heads=4, hidden=1024, encoder_layers=3,
                 decoder_layers=3, positions=256, dropout=0.1, pad_id=3):
        super().__init__()
        self.config = dict(vocab=vocab, dim=dim, heads=heads, hidden=hidden,
                           encoder_layers=encoder_layers,
                           decoder_layers=decoder_layers, positions=positions,
                           dropout=dropout, pad_id=pad_id)
        self.pad_id = pad_id
        self.embedding = nn.Embedding(vocab, dim)
        nn.init.normal_(self.embedding.weight, std=dim ** -0.5)
        self.register_buffer("positions", sinusoid_table(positions, dim))
        self.encoder_scale = math.sqrt(dim)
        self.decoder_scale = math.sqrt(dim)
        self.output_bias = nn.Parameter(torch.zeros(vocab))
        self.encoder = nn.ModuleList(
            EncoderLayer(dim, heads, hidden, dropout) for _ in range(encoder_layers))
        self.decoder = nn.ModuleList(
            DecoderLayer(dim, heads, hidden, dropout) for _ in range(decoder_layers))
        self.drop = nn.Dropout(dropout)

    def embed(self, ids, scale, offset=0):
        n = ids.shape[1]
        return self.embedding(ids) * scale + self.positions[offset:offset + n]

    def encode(self, src):
        mask = (src != self.pad_id)[:, None, None, :]
        x = self.drop(self.embed(src, self.encoder_scale))
        for layer in self.encoder:
            x = layer(x, mask)
        return x, mask

    def decode(self, tgt_in, memory, src_mask):
        n = tgt_in.shape[1]
        causal = torch.ones(n, n, dtype=torch.bool, device=tgt_in.device).tril()
        x = self.drop(self.embed(tgt_in, self.decoder_scale))
        for layer in self.decoder:
            x = layer(x, memory, causal, src_mask)
        return self.logits(x)

    def logits(self, x):
        return F.linear(x, self.embedding.weight, self.output_bias)

    def forward(self, src, tgt_in):
        memory, src_mask = self.encode(src)
        return self.decode(tgt_in, memory, src_mask)


def load_checkpoint(path):
    """Rebuilds the network of a training checkpoint in evaluation mode."""
    state = torch.load(path, map_location="cpu", weights_only=False)
    net = Translator(**state["config"])
    net.load_state_dict(state["model"])
    net.eval()
    return net, state
